// The file-open dialog (the platform's common dialog, Unicode), so that any file name
// can be chosen, also one outside the system code page. Usage:
//
//   std::string path;
//   if (ChooseFileToOpen(Handle(), "选择下载的程序",
//                        {{"Binary Files(*.bin)", "*.bin"}, {"hex Files(*.hex)", "*.hex"}}, path))
//       Load(path);
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// One entry of the file-type list: its text and its pattern(s) ("*.bin;*.hex").
struct FileFilter {
    std::string text;
    std::string pattern;
};

// Shows the file-open dialog owned by `owner`, titled `title`, with the read-only check
// box hidden and the first filter preselected; no initial folder or name. True and the
// full path (UTF-8) in `path` when the user confirmed; false when cancelled.
bool ChooseFileToOpen(HWND owner, const std::string& title, const std::vector<FileFilter>& filters,
                      std::string& path);
