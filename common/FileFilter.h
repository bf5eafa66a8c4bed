// One entry of a file-open dialog's type list: the label shown and the name pattern.
// Each tool lists its entries beside its texts; each front end turns them into its
// platform's filter format.
#pragma once

struct FileFilter {
    const char* label;    // "Binary Files(*.bin)"
    const char* pattern;  // "*.bin"
};
