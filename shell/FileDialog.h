// The file-open dialog (the platform's common dialog, Unicode), so that any file name
// can be chosen, also one outside the system code page. Usage:
//
//   std::string path;
//   if (ChooseFileToOpen(Handle(), IAP_TEXT_FILE_DIALOG_TITLE, IAP_FILE_FILTERS, path))
//       Load(path);
#pragma once

#include <windows.h>

#include "common/FileFilter.h"

#include <span>
#include <string>

// Shows the file-open dialog owned by `owner`, titled `title`, with the read-only check
// box hidden and the first filter preselected; no initial folder or name. True and the
// full path (UTF-8) in `path` when the user confirmed; false when cancelled.
bool ChooseFileToOpen(HWND owner, const std::string& title, std::span<const FileFilter> filters, std::string& path);
