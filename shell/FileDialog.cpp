#include "shell/FileDialog.h"

#include "shell/Text.h"

#include <commdlg.h>

bool ChooseFileToOpen(HWND owner, const std::string& title, std::span<const FileFilter> filters, std::string& path)
{
    // The filter: text NUL pattern NUL ... NUL.
    std::wstring filter;
    for (const FileFilter& entry : filters) {
        filter += Utf8ToWide(entry.label);
        filter += L'\0';
        filter += Utf8ToWide(entry.pattern);
        filter += L'\0';
    }
    filter += L'\0';
    std::wstring caption = Utf8ToWide(title);
    // Long enough for any path the system accepts.
    std::wstring chosen(32768, L'\0');

    OPENFILENAMEW request{};
    request.lStructSize = sizeof request;
    request.hwndOwner = owner;
    request.lpstrFilter = filter.c_str();
    request.nFilterIndex = 1;
    request.lpstrFile = chosen.data();
    request.nMaxFile = static_cast<DWORD>(chosen.size());
    request.lpstrTitle = caption.empty() ? nullptr : caption.c_str();
    request.Flags = OFN_EXPLORER | OFN_HIDEREADONLY;
    if (!GetOpenFileNameW(&request))
        return false;
    chosen.resize(wcslen(chosen.c_str()));
    path = WideToUtf8(chosen);
    return true;
}
