// A modal dialog run from a resource template: the base of every dialog of the
// programs. The base cracks wParam/lParam once and calls a typed handler; a dialog
// overrides only the handlers it needs. Usage:
//
//   class AboutDlg : public Dialog {
//   public:
//       AboutDlg() : Dialog(IDD_ABOUTBOX) {}
//   };
//   AboutDlg about;
//   about.DoModal(ownerWindow);
//
//   class MyDlg : public Dialog {
//       BOOL OnInitDialog() override { ...; return TRUE; }
//       bool OnCommand(UINT code, int id, HWND control) override {
//           if (id == IDC_GO && code == BN_CLICKED) { Go(); return true; }
//           return Dialog::OnCommand(code, id, control);
//       }
//   };
//
// A handler returns true when it handled the message, false for the platform's
// default handling. IDOK and IDCANCEL end the dialog unless OnCommand takes them
// (Enter and Escape close a dialog, as the standard dialog keys do).
//
// Notifications of child controls (WM_DRAWITEM, WM_MEASUREITEM, WM_COMMAND with a
// control, WM_CTLCOLOR*) are first sent back to the control as ReflectedMessage(msg)
// (shell/Reflect.h); a non-zero answer is the message's result and the dialog's own
// handler does not run.
#pragma once

#include <windows.h>

#include <cstdint>

class Dialog {
public:
    // `templateId`: the dialog resource in the program's own module.
    explicit Dialog(unsigned templateId)
        : m_nTemplateId(templateId)
    {
    }
    virtual ~Dialog() = default;
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Creates the dialog from its template, owned by `owner` (may be null), and runs it
    // modally until EndDialog; returns the value passed to EndDialog, or -1 when the
    // dialog could not be created.
    INT_PTR DoModal(HWND owner = nullptr);
    // Ends the modal loop with `result` (the window is destroyed before DoModal returns).
    void EndDialog(INT_PTR result) { ::EndDialog(m_hWnd, result); }

    // The dialog window (null before DoModal creates it and after it returns).
    HWND Handle() const { return m_hWnd; }
    // The child control with id `id`, or null.
    HWND Item(int id) const { return ::GetDlgItem(m_hWnd, id); }
    unsigned TemplateId() const { return m_nTemplateId; }

    // Window timers of the dialog (WM_TIMER at the platform's own resolution).
    bool SetTimer(UINT_PTR id, unsigned periodMs) { return ::SetTimer(m_hWnd, id, periodMs, nullptr) != 0; }
    void KillTimer(UINT_PTR id) { ::KillTimer(m_hWnd, id); }

protected:
    // WM_INITDIALOG. TRUE lets the platform set the focus.
    virtual BOOL OnInitDialog() { return TRUE; }
    // WM_COMMAND: notification code, command or control id, control window (null for
    // menus and accelerators). The base ends the dialog on IDOK and IDCANCEL.
    virtual bool OnCommand(UINT notifyCode, int id, HWND control);
    // WM_TIMER with the timer's id.
    virtual bool OnTimer(UINT_PTR /*id*/) { return false; }
    // WM_SYSCOMMAND with the command id and the cursor position.
    virtual bool OnSysCommand(UINT /*command*/, LPARAM /*position*/) { return false; }
    // WM_PAINT.
    virtual bool OnPaint() { return false; }
    // WM_QUERYDRAGICON: the icon shown while the minimised window is dragged (null:
    // the platform's default).
    virtual HICON OnQueryDragIcon() { return nullptr; }
    // Any other message (the serial engine's messages, for example), before the
    // default handling. Set `result` and return true to handle it.
    virtual bool OnMessage(UINT /*message*/, WPARAM /*wParam*/, LPARAM /*lParam*/, LRESULT& /*result*/)
    {
        return false;
    }

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // Dispatches one message to its handler; false for the default handling.
    bool Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    // Sends a child's notification back to the child; true when it answered non-zero.
    static bool Reflect(HWND control, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

    const unsigned m_nTemplateId;
    HWND m_hWnd = nullptr;
};
