#include "shell/Dialog.h"

#include "shell/Reflect.h"
#include "shell/ShellApp.h"

namespace {

// Messages whose result a dialog procedure returns directly instead of through
// DWLP_MSGRESULT.
bool ReturnsDirectly(UINT message)
{
    switch (message) {
    case WM_CHARTOITEM:
    case WM_COMPAREITEM:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_VKEYTOITEM:
        return true;
    default:
        return false;
    }
}

}  // namespace

INT_PTR Dialog::DoModal(HWND owner)
{
    return DialogBoxParamW(ShellApp::ResourceModule(), MAKEINTRESOURCEW(m_nTemplateId), owner, &Dialog::DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

bool Dialog::OnCommand(UINT /*notifyCode*/, int id, HWND /*control*/)
{
    if (id == IDOK || id == IDCANCEL) {
        EndDialog(id);
        return true;
    }
    return false;
}

INT_PTR CALLBACK Dialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Dialog* self;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Dialog*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->m_hWnd = window;
    } else {
        self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(window, DWLP_USER));
    }
    if (!self)
        return FALSE;  // messages before WM_INITDIALOG (WM_SETFONT) and after the end
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, DWLP_USER, 0);
        self->m_hWnd = nullptr;
        return FALSE;
    }
    LRESULT result = 0;
    if (!self->Dispatch(message, wParam, lParam, result))
        return FALSE;
    if (ReturnsDirectly(message))
        return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
}

bool Dialog::Reflect(HWND control, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    if (!control)
        return false;
    LRESULT answer = SendMessageW(control, ReflectedMessage(message), wParam, lParam);
    if (answer == 0)
        return false;
    result = answer;
    return true;
}

bool Dialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    switch (message) {
    case WM_INITDIALOG:
        result = OnInitDialog();
        return true;
    case WM_COMMAND: {
        HWND control = reinterpret_cast<HWND>(lParam);
        if (control && Reflect(control, message, wParam, lParam, result))
            return true;
        return OnCommand(HIWORD(wParam), LOWORD(wParam), control);
    }
    case WM_DRAWITEM: {
        auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (wParam != 0 && item->CtlType != ODT_MENU)
            return Reflect(item->hwndItem, message, wParam, lParam, result);
        break;
    }
    case WM_MEASUREITEM: {
        auto* item = reinterpret_cast<const MEASUREITEMSTRUCT*>(lParam);
        if (wParam != 0 && item->CtlType != ODT_MENU)
            return Reflect(Item(static_cast<int>(wParam)), message, wParam, lParam, result);
        break;
    }
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: {
        HWND control = reinterpret_cast<HWND>(lParam);
        if (control != m_hWnd && Reflect(control, message, wParam, lParam, result))
            return true;
        break;
    }
    case WM_TIMER:
        return OnTimer(wParam);
    case WM_SYSCOMMAND:
        return OnSysCommand(static_cast<UINT>(wParam), lParam);
    case WM_PAINT:
        return OnPaint();
    case WM_QUERYDRAGICON: {
        HICON icon = OnQueryDragIcon();
        result = reinterpret_cast<LRESULT>(icon);
        return icon != nullptr;
    }
    default:
        break;
    }
    return OnMessage(message, wParam, lParam, result);
}
