// Wrappers for the standard controls the dialogs use. Each holds the bare window handle
// of a control that the dialog template created, owns nothing, and each method is one
// message to the control. Texts are UTF-8. Usage:
//
//   ComboBox ports(Item(IDC_QUARROW_PORT_LIST));
//   ports.AddString("COM1");
//   ports.SetCurSel(0);
#pragma once

#include "shell/Text.h"

#include <windows.h>
#include <commctrl.h>

#include <cassert>
#include <string>

class ControlWindow {
public:
    ControlWindow() = default;
    explicit ControlWindow(HWND window)
        : m_hWnd(window)
    {
    }
    void Attach(HWND window) { m_hWnd = window; }
    HWND Handle() const { return m_hWnd; }

    void SetText(const std::string& text)
    {
        Check();
        SetWindowTextW(m_hWnd, Utf8ToWide(text).c_str());
    }
    std::string GetText() const;
    void Enable(bool enable)
    {
        Check();
        EnableWindow(m_hWnd, enable);
    }
    bool IsEnabled() const
    {
        Check();
        return IsWindowEnabled(m_hWnd) != 0;
    }

protected:
    void Check() const { assert(IsWindow(m_hWnd) && "control window expected"); }
    LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        Check();
        return SendMessageW(m_hWnd, message, wParam, lParam);
    }

    HWND m_hWnd = nullptr;
};

inline std::string ControlWindow::GetText() const
{
    Check();
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(m_hWnd)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(m_hWnd, text.data(), static_cast<int>(text.size()))));
    return WideToUtf8(text);
}

// A static text.
class StaticText : public ControlWindow {
public:
    using ControlWindow::ControlWindow;
};

// A push button.
class Button : public ControlWindow {
public:
    using ControlWindow::ControlWindow;
    void Click() { Send(BM_CLICK); }
    UINT GetState() const { return static_cast<UINT>(Send(BM_GETSTATE)); }
};

// A combo box.
class ComboBox : public ControlWindow {
public:
    using ControlWindow::ControlWindow;
    // Index of the new entry (CB_ERR, CB_ERRSPACE on failure).
    int AddString(const std::string& text)
    {
        return static_cast<int>(Send(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Utf8ToWide(text).c_str())));
    }
    int SetCurSel(int index) { return static_cast<int>(Send(CB_SETCURSEL, static_cast<WPARAM>(index))); }
    // The selected index, CB_ERR (-1) when none.
    int GetCurSel() const { return static_cast<int>(Send(CB_GETCURSEL)); }
    int GetCount() const { return static_cast<int>(Send(CB_GETCOUNT)); }
};

// A progress bar.
class ProgressBar : public ControlWindow {
public:
    using ControlWindow::ControlWindow;
    // The previous position.
    int SetPos(int position) { return static_cast<int>(Send(PBM_SETPOS, static_cast<WPARAM>(position))); }
    int GetPos() const { return static_cast<int>(Send(PBM_GETPOS)); }
    void GetRange(int& lower, int& upper) const
    {
        PBRANGE range{};
        Send(PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
        lower = range.iLow;
        upper = range.iHigh;
    }
};
