// The harness's own test dialog: one of each control the programs under test use (a
// port list, buttons that open a file-open dialog and a message box, static texts, a
// progress bar, a painted swatch, an About item in the system menu), so that the
// driver and the screenshot helpers can be checked without any program of the suite.
//
//   testdialog.exe [--greet]   --greet: a message box before the dialog shows
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "TestDialog.h"

namespace {

HBRUSH g_swatch;

void OpenFile(HWND dialog)
{
    wchar_t path[MAX_PATH] = {};
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = dialog;
    ofn.lpstrFilter = L"Binary Files(*.bin)\0*.bin\0All Files(*.*)\0*.*\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrTitle = L"选择文件";
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER;
    if (!GetOpenFileNameW(&ofn)) {
        SetDlgItemTextW(dialog, IDC_TEST_STATUS, L"cancelled");
        return;
    }
    SetDlgItemTextW(dialog, IDC_TEST_PATH, path);
    // The bar shows the file's length, up to 100.
    long length = -1;
    if (FILE* file = _wfopen(path, L"rb")) {
        std::fseek(file, 0, SEEK_END);
        length = std::ftell(file);
        std::fclose(file);
    }
    SendDlgItemMessageW(dialog, IDC_TEST_BAR, PBM_SETPOS, static_cast<WPARAM>(length > 100 ? 100 : length), 0);
    SetDlgItemTextW(dialog, IDC_TEST_STATUS, (L"length " + std::to_wstring(length)).c_str());
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return message == WM_INITDIALOG;
}

INT_PTR CALLBACK MainProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        HMENU menu = GetSystemMenu(dialog, FALSE);
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_TEST_ABOUT, L"关于 Harness Test(&A)...");
        for (int n = 1; n <= 8; ++n)
            SendDlgItemMessageW(dialog, IDC_TEST_PORTS, CB_ADDSTRING, 0,
                                reinterpret_cast<LPARAM>((L"COM" + std::to_wstring(n)).c_str()));
        SendDlgItemMessageW(dialog, IDC_TEST_PORTS, CB_SETCURSEL, 0, 0);
        return TRUE;
    }
    case WM_CTLCOLORSTATIC:
        if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == IDC_TEST_SWATCH)
            return reinterpret_cast<INT_PTR>(g_swatch);
        return FALSE;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_TEST_ABOUT) {
            DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_TEST_ABOUT), dialog, AboutProc, 0);
            return TRUE;
        }
        return FALSE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_TEST_OPEN:
            if (HIWORD(wParam) == BN_CLICKED)
                OpenFile(dialog);
            return TRUE;
        case IDC_TEST_BOX:
            if (HIWORD(wParam) == BN_CLICKED) {
                MessageBoxW(dialog, L"你好, box", L"Harness Test", MB_OK);
                SetDlgItemTextW(dialog, IDC_TEST_STATUS, L"box closed");
            }
            return TRUE;
        case IDC_TEST_PORTS:
            if (HIWORD(wParam) == CBN_SELCHANGE) {
                const LRESULT index = SendDlgItemMessageW(dialog, IDC_TEST_PORTS, CB_GETCURSEL, 0, 0);
                if (index == 4)
                    MessageBoxW(dialog, L"Not found this serial port !", L"Harness Test", MB_OK | MB_ICONEXCLAMATION);
                SetDlgItemTextW(dialog, IDC_TEST_PORTLINE, (L"picked COM" + std::to_wstring(index + 1)).c_str());
            }
            return TRUE;
        case IDOK:
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int)
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    g_swatch = CreateSolidBrush(RGB(0x20, 0x80, 0xE0));
    if (std::wcsstr(commandLine, L"--greet"))
        MessageBoxW(nullptr, L"Hello before the dialog", L"Harness Test", MB_OK);
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_TEST_MAIN), nullptr, MainProc, 0);
    DeleteObject(g_swatch);
    return 0;
}
