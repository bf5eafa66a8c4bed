// SkinButton: a push button that draws itself. A flat face filled with a colour
// chosen by the button's state, a thin 3-D edge while the pointer is over it, a
// centred caption in a state colour, and optionally an icon or a masked bitmap
// beside the caption, a tooltip, a hover cursor, a drop-down menu or a link target
// opened by the shell.
//
// A drop-down menu (SetMenu) opens below the button on a click; the command chosen
// is posted to the menu's owner window as WM_COMMAND.
//
// It attaches to a button that already exists in a dialog (SubclassDlgItem), makes
// it owner-drawn and subclasses its window procedure. The dialog hands WM_DRAWITEM,
// WM_MEASUREITEM, WM_COMMAND notifications and WM_CTLCOLOR* back to the button as
// ReflectedMessage(msg) (shell/Reflect.h); the button answers them there.
//
// Everything runs on the thread that owns the dialog.
#pragma once

#include "controls/ButtonRules.h"
#include "controls/SkinMenu.h"

#include <windows.h>

// Colour slot numbers for SetStateColor (the same values as skin::ColorSlot).
constexpr int SKIN_HOT_FACE = skin::HotFace;
constexpr int SKIN_HOT_TEXT = skin::HotText;
constexpr int SKIN_REST_FACE = skin::RestFace;
constexpr int SKIN_REST_TEXT = skin::RestText;
constexpr int SKIN_FOCUS_FACE = skin::FocusFace;
constexpr int SKIN_FOCUS_TEXT = skin::FocusText;

class SkinButton {
public:
    // Result codes of the operations.
    enum Result { ButtonOk = 0, ButtonBadIndex = 3 };

    SkinButton();
    virtual ~SkinButton();
    SkinButton(const SkinButton&) = delete;
    SkinButton& operator=(const SkinButton&) = delete;

    // Attaches to the dialog's button `id` (or to any button window): notes the
    // check-mode and default-button bits of its style, makes it owner-drawn and
    // subclasses it. False when there is no such window or it is attached already.
    bool SubclassDlgItem(unsigned id, HWND hParent);
    bool SubclassButton(HWND hWnd);
    HWND GetSafeHwnd() const { return m_hWnd; }

    // State colours. Slot 0..5 (SKIN_*); ButtonBadIndex for any other slot, which
    // changes nothing. With repaint the whole button is invalidated.
    int SetStateColor(int slot, COLORREF colour, bool repaint = true);
    COLORREF GetStateColor(int slot) const;
    // Face slots to the system's button face, text slots to its button text.
    int ResetStateColors(bool repaint = true);

    // Check mode: each click toggles the checked state, drawn as pressed.
    // SetCheckedState is ignored outside check mode (and still answers ButtonOk).
    int SetCheckedState(int checked, bool repaint = true);
    int GetCheckedState() const { return m_bChecked ? 1 : 0; }
    void SetCheckMode(bool on) { m_bCheckMode = on ? TRUE : FALSE; }
    bool IsCheckMode() const { return m_bCheckMode != FALSE; }

    // Document or address opened with the verb "open" when the button is clicked
    // (and no menu is attached). A text that does not fit the 260-byte field is cut
    // before the terminator, never inside a double-byte character.
    int SetLinkTarget(const char* text);
    const char* GetLinkTarget() const { return m_szLinkTarget; }

    // The tooltip window, created inactive on first use. SetTooltipText registers
    // the whole button as the tool and activates the tooltip (null text: deactivates).
    void EnsureToolTip();
    void SetTooltipText(const wchar_t* text);
    HWND GetToolTip() const { return m_hToolTip; }

    // Images: entry 0 is shown when hot or pressed, entry 1 (if any) at rest. The
    // button takes ownership of the handles. Bitmaps are drawn masked: pixels of the
    // transparent colour are left out.
    void SetIcons(HICON hHot, HICON hRest = nullptr);
    void SetBitmaps(HBITMAP hHot, COLORREF hotTransparent, HBITMAP hRest = nullptr, COLORREF restTransparent = 0);
    void ReleaseImages(bool free);
    void SetImageAlign(skin::ImageAlign align, bool repaint = true);
    void SetGreyDisabledBitmap(bool on) { m_bGreyDisabledBitmap = on ? TRUE : FALSE; }

    // Cursor shown over the button; owned (destroyed with the button or on replacement).
    void SetHoverCursor(HCURSOR hCursor);

    // Look settings (defaults: flat, edge on, no flat focus rectangle, tracking while
    // another application is active, opaque).
    void SetFlat(bool on, bool repaint = true);
    void SetDrawEdge(bool on, bool repaint = true);
    void SetDrawFlatFocus(bool on, bool repaint = true);
    void SetAlwaysTrack(bool on) { m_bAlwaysTrack = on ? TRUE : FALSE; }
    void SetTransparent(bool on, bool repaint = true);

    // State read by the dialogs' tests and the drawing.
    bool IsHot() const { return m_bHot != FALSE; }
    bool IsDefault() const { return m_bIsDefault != FALSE; }
    bool IsFlat() const { return m_bFlat != FALSE; }

    // Drop-down menu: loads the menu resource (its popup at position 0 is what opens)
    // and names the window that receives the chosen command (the parent when null).
    // Answers what loading answers.
    BOOL SetMenu(UINT menuId, HWND hOwner = nullptr);
    BOOL SetMenu(const wchar_t* menuName, HWND hOwner = nullptr);
    SkinMenu& GetMenu() { return m_menu; }
    bool IsMenuShowing() const { return m_bMenuShowing != FALSE; }

    // Leaves the hot state (flat buttons only) and repaints.
    void DropHover();

    // Relays mouse messages to the tooltip. The button calls it itself for every
    // mouse message it receives; a message loop may call it too. Answers FALSE.
    virtual BOOL PreTranslateMessage(MSG* pMsg);

protected:
    // Fills the face with the state's face colour.
    virtual int PaintFace(HDC hdc, const RECT& rect);
    // The thin edge: sunken when pressed, raised otherwise.
    virtual int PaintEdge(HDC hdc, const RECT& rect);
    // The paint routine, for the owner-draw request.
    virtual void DrawItem(const DRAWITEMSTRUCT& item);
    // The subclassed window procedure; Default() is the button's own handling.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);

private:
    struct ButtonIcon {
        HICON hIcon;
        DWORD dwWidth;
        DWORD dwHeight;
    };
    struct ButtonBitmap {
        HBITMAP hBitmap;
        DWORD dwWidth;
        DWORD dwHeight;
        HBITMAP hMask;
    };

    static LRESULT CALLBACK StaticWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    void Detach();
    void PreSubclassWindow();
    void Invalidate();
    void OnMouseMove(WPARAM wParam, LPARAM lParam);
    void OnClicked();
    void OnEnable(bool enabled);
    bool HasDropDownMenu() const { return m_menu.GetSafeHmenu() != nullptr; }
    void ShowDropDownMenu();
    bool OnMeasureMenuItem(MEASUREITEMSTRUCT& item);
    bool OnDrawMenuItem(const DRAWITEMSTRUCT& item);
    void PaintParentBackground(HDC hdc);
    void DiscardBackground();
    void DrawIconImage(HDC hdc, bool hasCaption, const RECT& item, skin::Box& caption);
    void DrawBitmapImage(HDC hdc, bool hasCaption, const RECT& item, skin::Box& caption);
    skin::ImagePlacement Place(bool hasCaption, const RECT& item, skin::Box& caption, int width, int height) const;

    HWND m_hWnd = nullptr;
    WNDPROC m_pfnSuper = nullptr;  // the button's own window procedure

    BOOL m_bGreyDisabledBitmap = TRUE;  // disabled bitmap drawn in the system's disabled style
    BOOL m_bFlat = TRUE;                // flat look: no bevel at rest, hover tracking on
    BOOL m_bHot = FALSE;                // the pointer is over the button (flat only)
    BOOL m_bTransparent = FALSE;        // parent's background under the button instead of the face
    BOOL m_bPressedLook = FALSE;        // recomputed at each paint
    BOOL m_bFocusedLook = FALSE;        // recomputed at each paint
    BOOL m_bDisabledLook = FALSE;       // recomputed at each paint
    BOOL m_bIsDefault = FALSE;          // the dialog's default push button
    BOOL m_bCheckMode = FALSE;          // clicks toggle m_bChecked
    BYTE m_nImageAlign = skin::ImageLeft;
    BOOL m_bDrawEdge = TRUE;        // flat: thin edge when hot or pressed
    BOOL m_bDrawFlatFocus = FALSE;  // flat: dotted focus rectangle too
    COLORREF m_colors[skin::ColorSlotCount] = {};
    HWND m_hMenuOwner = nullptr;       // receives WM_COMMAND for a chosen menu item
    BOOL m_bMenuShowing = FALSE;       // the drop-down menu is open: drawn pressed
    SkinMenu m_menu;                   // drop-down menu (empty: none)
    HCURSOR m_hHoverCursor = nullptr;  // owned
    HWND m_hToolTip = nullptr;
    HDC m_hBackgroundDC = nullptr;  // copy of the parent's background (transparent mode)
    HBITMAP m_hBackgroundBitmap = nullptr;
    HGDIOBJ m_hPreviousBitmap = nullptr;
    BOOL m_bAlwaysTrack = TRUE;  // track hover also while another application is active
    BOOL m_bChecked = FALSE;
    char m_szLinkTarget[skin::LINK_TARGET_SIZE] = {};
    ButtonIcon m_icons[2] = {};
    ButtonBitmap m_bitmaps[2] = {};
};
