#include "shell/ShellApp.h"

#include "shell/Dialog.h"
#include "shell/Text.h"

#include <commctrl.h>

#include <cassert>

namespace {

ShellApp* g_pApp = nullptr;

std::string NameFromExecutable()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return "Application";
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    std::size_t start = path.find_last_of(L"\\/:");
    std::wstring name = path.substr(start == std::wstring::npos ? 0 : start + 1);
    std::size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos && dot > 0)
        name.resize(dot);
    return WideToUtf8(name);
}

}  // namespace

ShellApp::ShellApp()
    : m_name(NameFromExecutable())
{
    assert(!g_pApp && "one application object per program");
    g_pApp = this;
}

ShellApp::~ShellApp()
{
    if (g_pApp == this)
        g_pApp = nullptr;
}

ShellApp* ShellApp::Current()
{
    return g_pApp;
}

HINSTANCE ShellApp::ResourceModule()
{
    return GetModuleHandleW(nullptr);
}

void ShellApp::InitControls()
{
    // The progress bar lives in the common controls; the rest are standard windows.
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&classes);
}

INT_PTR ShellApp::RunMainDialog(Dialog& dialog)
{
    m_pMainDialog = &dialog;
    INT_PTR result = dialog.DoModal(nullptr);
    m_pMainDialog = nullptr;
    return result;
}

HWND ShellApp::MainWindow() const
{
    return m_pMainDialog ? m_pMainDialog->Handle() : nullptr;
}

int ShellApp::AppMessageBox(const std::string& text, UINT type)
{
    if ((type & MB_ICONMASK) == 0)
        type |= MB_ICONEXCLAMATION;
    HWND owner = MainWindow();
    return MessageBoxW(owner, Utf8ToWide(text).c_str(), Utf8ToWide(m_name).c_str(), type);
}

int ShowMessageBox(HWND owner, const std::string& text, UINT type)
{
    std::wstring caption = Utf8ToWide(g_pApp ? g_pApp->Name() : std::string());
    return MessageBoxW(owner, Utf8ToWide(text).c_str(), caption.c_str(), type);
}
