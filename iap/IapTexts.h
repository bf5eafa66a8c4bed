// Everything Solvane and Tirell say to the user, defined once for the logic, the
// Windows dialog and the console program. Texts are UTF-8.
#pragma once

#include "common/FileFilter.h"
#include "iap/IapVariant.h"

// Port texts. The status line after every opening attempt; the box after a failed
// opening: one text at start-up (COM1), another after a choice in the port list.
inline constexpr char IAP_TEXT_PORT_OPENED[] = "Open serial success!";
inline constexpr char IAP_TEXT_PORT_FAILED[] = "Open serial fail!";
inline constexpr char IAP_TEXT_PORT_NOT_FOUND[] = "Serial port is not found !";
inline constexpr char IAP_TEXT_PORT_CHOICE_FAILED[] = "Can't found the serial port or serial port is already use!";

// The file-open dialog of the Open file button: its title ("choose the program to
// download") and its two entries, the first one preselected.
inline constexpr char IAP_TEXT_FILE_DIALOG_TITLE[] = "选择下载的程序";
inline constexpr FileFilter IAP_FILE_FILTERS[] = {
    {"Binary Files(*.bin)", "*.bin"},
    {"hex Files(*.hex)", "*.hex"},
};

// The path line after a file was loaded: this text, then the full path, no space.
inline constexpr char IAP_TEXT_PATH_PREFIX[] = "open file route:";

// Failed loads: the text, then the file's path.
inline constexpr char IAP_TEXT_LOAD_OPEN_FAILED[] = "Can't open the file: ";
inline constexpr char IAP_TEXT_LOAD_READ_FAILED[] = "Can't read the file: ";
inline constexpr char IAP_TEXT_LOAD_EMPTY[] = "The file is empty, there is nothing to update: ";

// The end of an update, shown in a box; the two tools differ in one letter.
inline constexpr char IAP_TEXT_COMPLETE_SOLVANE[] = "Update Complete!";
inline constexpr char IAP_TEXT_COMPLETE_TIRELL[] = "Update complete!";

// The label beside the progress bar.
inline constexpr char IAP_TEXT_PROGRESS_LABEL_SOLVANE[] = "Update progress";
inline constexpr char IAP_TEXT_PROGRESS_LABEL_TIRELL[] = "Update Progress";

constexpr const char* IapCompletionText(IapVariant variant)
{
    return variant == VARIANT_TIRELL ? IAP_TEXT_COMPLETE_TIRELL : IAP_TEXT_COMPLETE_SOLVANE;
}

constexpr const char* IapProgressLabel(IapVariant variant)
{
    return variant == VARIANT_TIRELL ? IAP_TEXT_PROGRESS_LABEL_TIRELL : IAP_TEXT_PROGRESS_LABEL_SOLVANE;
}

// The program's name: the caption of its boxes and its dialog.
constexpr const char* IapProgramName(IapVariant variant)
{
    return variant == VARIANT_TIRELL ? "Tirell" : "Solvane";
}

// The loader's replies as the console names them in its lines ("waiting for +RECV-",
// "answered +DTER-"). The parser recognises them byte by byte and says what it
// recognised as a ToolEvent; these are words for people, never matched against bytes.
inline constexpr char IAP_REPLY_NAME_RECEIVE[] = "+RECV-";
inline constexpr char IAP_REPLY_NAME_DATA_ERROR[] = "+DTER-";
