#include "controls/SkinButton.h"

#include "controls/GdiHelpers.h"
#include "shell/Reflect.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <cstring>
#include <string>

namespace {

// Window properties of an attached button: the object, and the procedure it replaced
// (kept apart, so that the window still works if it outlives a chained object).
constexpr const wchar_t* PROP_OBJECT = L"SkinButton";
constexpr const wchar_t* PROP_SUPER = L"SkinButton.super";

skin::Box ToBox(const RECT& r)
{
    return {r.left, r.top, r.right, r.bottom};
}
RECT ToRect(const skin::Box& b)
{
    return {b.left, b.top, b.right, b.bottom};
}

// A line of pixels from `from` through `via` to `to` (LineTo leaves the end point out).
void Polyline3(HDC hdc, COLORREF colour, POINT from, POINT via, POINT to)
{
    const skin::GdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, colour));
    const skin::SelectedObject selection(hdc, pen.Get());
    MoveToEx(hdc, from.x, from.y, nullptr);
    LineTo(hdc, via.x, via.y);
    LineTo(hdc, to.x, to.y);
}

SIZE IconSize(HICON hIcon)
{
    SIZE size{0, 0};
    ICONINFO info{};
    if (hIcon == nullptr || !GetIconInfo(hIcon, &info))
        return size;
    // GetIconInfo made copies of the icon's bitmaps for the caller.
    const skin::GdiObject<HBITMAP> colour(info.hbmColor), mask(info.hbmMask);
    BITMAP bm{};
    if (info.hbmColor != nullptr && GetObjectW(info.hbmColor, sizeof bm, &bm)) {
        size = {bm.bmWidth, bm.bmHeight};
    } else if (info.hbmMask != nullptr && GetObjectW(info.hbmMask, sizeof bm, &bm)) {
        size = {bm.bmWidth, bm.bmHeight / 2};  // monochrome icon: AND and XOR masks stacked
    }
    return size;
}

// Builds the mask of `hBitmap` (white where the pixel has the transparent colour,
// black elsewhere) and blackens those pixels in the bitmap itself, so that the two
// drawn with SRCAND and then SRCPAINT show only the opaque pixels.
HBITMAP MakeMask(HBITMAP hBitmap, COLORREF transparent, SIZE& size)
{
    BITMAP bm{};
    if (hBitmap == nullptr || !GetObjectW(hBitmap, sizeof bm, &bm))
        return nullptr;
    size = {bm.bmWidth, bm.bmHeight};
    HBITMAP mask = CreateBitmap(bm.bmWidth, bm.bmHeight, 1, 1, nullptr);
    const skin::MemoryDc imageDc(CreateCompatibleDC(nullptr)), monochromeDc(CreateCompatibleDC(nullptr));
    const HDC image = imageDc.Get(), monochrome = monochromeDc.Get();
    const skin::SelectedObject imageSelection(image, hBitmap), maskSelection(monochrome, mask);
    SetBkColor(image, transparent);
    BitBlt(monochrome, 0, 0, bm.bmWidth, bm.bmHeight, image, 0, 0, SRCCOPY);
    // Mask bits 1 become the transparent colour (background), 0 black (text): XOR
    // turns the transparent pixels black and leaves the others.
    SetTextColor(image, RGB(0, 0, 0));
    BitBlt(image, 0, 0, bm.bmWidth, bm.bmHeight, monochrome, 0, 0, SRCINVERT);
    return mask;  // selected out of its context before the caller gets it
}

}  // namespace

SkinButton::SkinButton()
{
    ReleaseImages(false);
    ResetStateColors(false);
    SetLinkTarget(nullptr);
}

SkinButton::~SkinButton()
{
    if (m_hBackgroundDC != nullptr && m_hPreviousBitmap != nullptr)
        SelectObject(m_hBackgroundDC, m_hPreviousBitmap);
    ReleaseImages(true);
    if (m_hHoverCursor != nullptr)
        DestroyCursor(m_hHoverCursor);
    if (m_menu.GetSafeHmenu() != nullptr)
        m_menu.DestroyMenu();
    if (m_hBackgroundBitmap != nullptr)
        DeleteObject(m_hBackgroundBitmap);
    if (m_hBackgroundDC != nullptr)
        DeleteDC(m_hBackgroundDC);
    if (m_hToolTip != nullptr && IsWindow(m_hToolTip))
        DestroyWindow(m_hToolTip);
    Detach();
}

bool SkinButton::SubclassDlgItem(unsigned id, HWND hParent)
{
    return SubclassButton(GetDlgItem(hParent, static_cast<int>(id)));
}

bool SkinButton::SubclassButton(HWND hWnd)
{
    if (m_hWnd != nullptr || hWnd == nullptr || !IsWindow(hWnd) || GetPropW(hWnd, PROP_OBJECT) != nullptr)
        return false;
    m_hWnd = hWnd;
    PreSubclassWindow();
    // The window procedure is replaced directly, so the button needs nothing of the
    // common controls' subclassing helpers (comctl32 5.8 and later).
    SetPropW(hWnd, PROP_OBJECT, this);
    m_pfnSuper = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SkinButton::StaticWindowProc)));
    SetPropW(hWnd, PROP_SUPER, reinterpret_cast<HANDLE>(m_pfnSuper));
    return true;
}

void SkinButton::Detach()
{
    if (m_hWnd == nullptr)
        return;
    RemovePropW(m_hWnd, PROP_OBJECT);
    // Put the old procedure back unless someone chained onto ours since; then ours
    // stays and passes everything on.
    if (GetWindowLongPtrW(m_hWnd, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&SkinButton::StaticWindowProc)) {
        SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
        RemovePropW(m_hWnd, PROP_SUPER);
    }
    m_hWnd = nullptr;
}

void SkinButton::PreSubclassWindow()
{
    const LONG style = GetWindowLongA(m_hWnd, GWL_STYLE);
    const unsigned type = static_cast<unsigned>(style) & 0xFF;
    // Check-box types carry the bit of value 2. So does BS_OWNERDRAW (11), which is
    // a push button: a control that is owner-drawn already (in its template, or
    // attached before) stays a push button.
    if ((type & 2) && (type & 0x0F) != BS_OWNERDRAW)
        m_bCheckMode = TRUE;
    if ((type & 0x1F) == BS_DEFPUSHBUTTON)
        m_bIsDefault = TRUE;
    SetWindowLongA(m_hWnd, GWL_STYLE, static_cast<LONG>(skin::OwnerDrawStyle(static_cast<unsigned>(style))));
    SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SkinButton::Invalidate()
{
    if (m_hWnd != nullptr)
        InvalidateRect(m_hWnd, nullptr, TRUE);
}

int SkinButton::SetStateColor(int slot, COLORREF colour, bool repaint)
{
    if (slot < 0 || slot >= skin::ColorSlotCount)
        return ButtonBadIndex;
    m_colors[slot] = colour;
    if (repaint)
        Invalidate();
    return ButtonOk;
}

COLORREF SkinButton::GetStateColor(int slot) const
{
    return (slot >= 0 && slot < skin::ColorSlotCount) ? m_colors[slot] : CLR_INVALID;
}

int SkinButton::ResetStateColors(bool repaint)
{
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const COLORREF text = GetSysColor(COLOR_BTNTEXT);
    m_colors[skin::HotFace] = m_colors[skin::RestFace] = m_colors[skin::FocusFace] = face;
    m_colors[skin::HotText] = m_colors[skin::RestText] = m_colors[skin::FocusText] = text;
    if (repaint)
        Invalidate();
    return ButtonOk;
}

int SkinButton::SetCheckedState(int checked, bool repaint)
{
    if (m_bCheckMode) {
        m_bChecked = checked != 0 ? TRUE : FALSE;
        if (repaint)
            Invalidate();
    }
    return ButtonOk;
}

int SkinButton::SetLinkTarget(const char* text)
{
    std::memset(m_szLinkTarget, 0, sizeof m_szLinkTarget);
    const std::size_t kept = skin::LinkTargetLength(text, [](unsigned char c) { return IsDBCSLeadByte(c) != FALSE; });
    if (kept > 0)
        std::memcpy(m_szLinkTarget, text, kept);
    return ButtonOk;
}

void SkinButton::EnsureToolTip()
{
    if (m_hToolTip != nullptr && IsWindow(m_hToolTip))
        return;
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&classes);
    m_hToolTip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                 CW_USEDEFAULT, m_hWnd, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (m_hToolTip == nullptr)
        return;
    SendMessageW(m_hToolTip, TTM_ACTIVATE, FALSE, 0);
    SendMessageW(m_hToolTip, TTM_SETMAXTIPWIDTH, 0, 400);
}

void SkinButton::SetTooltipText(const wchar_t* text)
{
    if (m_hWnd == nullptr)
        return;
    EnsureToolTip();
    if (m_hToolTip == nullptr)
        return;
    if (text == nullptr) {
        SendMessageW(m_hToolTip, TTM_ACTIVATE, FALSE, 0);
        return;
    }
    TOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = m_hWnd;
    tool.uId = 1;
    GetClientRect(m_hWnd, &tool.rect);
    tool.lpszText = const_cast<wchar_t*>(text);
    if (SendMessageW(m_hToolTip, TTM_GETTOOLCOUNT, 0, 0) == 0)
        SendMessageW(m_hToolTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    else
        SendMessageW(m_hToolTip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(m_hToolTip, TTM_ACTIVATE, TRUE, 0);
}

BOOL SkinButton::PreTranslateMessage(MSG* pMsg)
{
    EnsureToolTip();
    if (m_hToolTip != nullptr)
        SendMessageW(m_hToolTip, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(pMsg));
    return FALSE;
}

void SkinButton::ReleaseImages(bool free)
{
    if (free) {
        for (ButtonIcon& icon : m_icons)
            if (icon.hIcon != nullptr)
                DestroyIcon(icon.hIcon);
        for (ButtonBitmap& bitmap : m_bitmaps)
            if (bitmap.hBitmap != nullptr)
                DeleteObject(bitmap.hBitmap);
        for (ButtonBitmap& bitmap : m_bitmaps)
            if (bitmap.hMask != nullptr)
                DeleteObject(bitmap.hMask);
    }
    std::memset(m_icons, 0, sizeof m_icons);
    std::memset(m_bitmaps, 0, sizeof m_bitmaps);
}

void SkinButton::SetIcons(HICON hHot, HICON hRest)
{
    ReleaseImages(true);
    if (hRest == hHot)
        hRest = nullptr;  // one handle is owned once
    const HICON handles[2] = {hHot, hRest};
    for (int i = 0; i < 2; ++i) {
        const SIZE size = IconSize(handles[i]);
        m_icons[i] = {handles[i], static_cast<DWORD>(size.cx), static_cast<DWORD>(size.cy)};
    }
    Invalidate();
}

void SkinButton::SetBitmaps(HBITMAP hHot, COLORREF hotTransparent, HBITMAP hRest, COLORREF restTransparent)
{
    ReleaseImages(true);
    if (hRest == hHot)
        hRest = nullptr;
    const HBITMAP handles[2] = {hHot, hRest};
    const COLORREF transparent[2] = {hotTransparent, restTransparent};
    for (int i = 0; i < 2; ++i) {
        SIZE size{0, 0};
        HBITMAP mask = MakeMask(handles[i], transparent[i], size);
        if (mask == nullptr) {
            if (handles[i] != nullptr)
                DeleteObject(handles[i]);
            continue;
        }
        m_bitmaps[i] = {handles[i], static_cast<DWORD>(size.cx), static_cast<DWORD>(size.cy), mask};
    }
    Invalidate();
}

void SkinButton::SetImageAlign(skin::ImageAlign align, bool repaint)
{
    m_nImageAlign = align;
    if (repaint)
        Invalidate();
}

void SkinButton::SetHoverCursor(HCURSOR hCursor)
{
    if (m_hHoverCursor != nullptr && m_hHoverCursor != hCursor)
        DestroyCursor(m_hHoverCursor);
    m_hHoverCursor = hCursor;
}

void SkinButton::SetFlat(bool on, bool repaint)
{
    m_bFlat = on ? TRUE : FALSE;
    if (!on)
        m_bHot = FALSE;  // hot is only ever set on a flat button
    if (repaint)
        Invalidate();
}

void SkinButton::SetDrawEdge(bool on, bool repaint)
{
    m_bDrawEdge = on ? TRUE : FALSE;
    if (repaint)
        Invalidate();
}

void SkinButton::SetDrawFlatFocus(bool on, bool repaint)
{
    m_bDrawFlatFocus = on ? TRUE : FALSE;
    if (repaint)
        Invalidate();
}

void SkinButton::SetTransparent(bool on, bool repaint)
{
    m_bTransparent = on ? TRUE : FALSE;
    if (repaint)
        Invalidate();
}

void SkinButton::DropHover()
{
    if (m_bFlat && m_bHot) {
        m_bHot = FALSE;
        Invalidate();
    }
}

LRESULT CALLBACK SkinButton::StaticWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = static_cast<SkinButton*>(GetPropW(hWnd, PROP_OBJECT));
    const auto super = reinterpret_cast<WNDPROC>(GetPropW(hWnd, PROP_SUPER));
    if (self == nullptr)  // detached while another procedure was chained onto ours
        return super != nullptr ? CallWindowProcW(super, hWnd, message, wParam, lParam)
                                : DefWindowProcW(hWnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        // The window goes; the object stays and may be attached again.
        self->Detach();
        RemovePropW(hWnd, PROP_SUPER);
        self->m_hToolTip = nullptr;  // owned by the button, destroyed with it
        self->m_bHot = FALSE;
        return CallWindowProcW(super, hWnd, message, wParam, lParam);
    }
    return self->WindowProc(message, wParam, lParam);
}

LRESULT SkinButton::Default(UINT message, WPARAM wParam, LPARAM lParam)
{
    return CallWindowProcW(m_pfnSuper, m_hWnd, message, wParam, lParam);
}

LRESULT SkinButton::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) {
        MSG msg{m_hWnd, message, wParam, lParam, static_cast<DWORD>(GetMessageTime()), {}};
        const DWORD pos = GetMessagePos();
        msg.pt = {GET_X_LPARAM(pos), GET_Y_LPARAM(pos)};
        PreTranslateMessage(&msg);
    }

    switch (message) {
    case WM_LBUTTONDBLCLK:
        // A fast second click presses the button again.
        return Default(WM_LBUTTONDOWN, wParam, lParam);
    case WM_SETCURSOR:
        if (m_hHoverCursor != nullptr) {
            SetCursor(m_hHoverCursor);
            return TRUE;
        }
        break;
    case WM_KILLFOCUS:
    case WM_CANCELMODE: {
        const LRESULT result = Default(message, wParam, lParam);
        DropHover();
        return result;
    }
    case WM_MOUSEMOVE: {
        const LRESULT result = Default(message, wParam, lParam);
        OnMouseMove(wParam, lParam);
        return result;
    }
    case WM_SYSCOLORCHANGE: {
        const LRESULT result = Default(message, wParam, lParam);
        DiscardBackground();
        return result;
    }
    case WM_ACTIVATE: {
        const LRESULT result = Default(message, wParam, lParam);
        if (LOWORD(wParam) == WA_INACTIVE)
            DropHover();
        return result;
    }
    case WM_ENABLE: {
        const LRESULT result = Default(message, wParam, lParam);
        if (!wParam)
            OnEnable(false);
        return result;
    }
    case WM_GETDLGCODE:
        return Default(message, wParam, lParam) | (m_bIsDefault ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
    case WM_MENUCHAR: {
        const HMENU hMenu = reinterpret_cast<HMENU>(lParam);
        if (SkinMenu::IsMenuRegistered(hMenu))
            return SkinMenu::FindShortcut(LOWORD(wParam), HIWORD(wParam), hMenu);
        break;
    }
    case WM_MEASUREITEM:
        if (lParam != 0 && OnMeasureMenuItem(*reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)))
            return TRUE;
        break;
    case WM_DRAWITEM:
        if (lParam != 0 && OnDrawMenuItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)))
            return TRUE;
        break;
    case BM_SETSTYLE:
        m_bIsDefault = skin::DefaultAfterSetStyle(m_bIsDefault != FALSE, static_cast<unsigned>(wParam)) ? TRUE : FALSE;
        return Default(message, skin::OwnerDrawStyle(static_cast<unsigned>(wParam)), lParam);
    case WM_MOUSELEAVE:
        DropHover();
        return 0;
    case BM_SETCHECK:
        SetCheckedState(wParam == BST_CHECKED || wParam == BST_INDETERMINATE, true);
        return 0;
    case BM_GETCHECK:
        return GetCheckedState();
    default:
        break;
    }

    if (message == ReflectedMessage(WM_DRAWITEM)) {
        if (lParam != 0)
            DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    }
    if (message == ReflectedMessage(WM_COMMAND)) {
        if (HIWORD(wParam) == BN_CLICKED)
            OnClicked();
        return FALSE;  // the dialog's own handler runs as well
    }
    if (message >= ReflectedMessage(WM_CTLCOLORMSGBOX) && message <= ReflectedMessage(WM_CTLCOLORSTATIC))
        return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
    return Default(message, wParam, lParam);
}

void SkinButton::OnMouseMove(WPARAM wParam, LPARAM lParam)
{
    POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ClientToScreen(m_hWnd, &point);
    const HWND under = WindowFromPoint(point);
    if ((wParam & MK_LBUTTON) && !m_bHot)
        return;  // a drag that started elsewhere does not light the button
    if (!m_bFlat)
        return;
    const HWND reference = m_bAlwaysTrack ? m_hWnd : GetActiveWindow();
    if (under == m_hWnd && reference != nullptr) {
        if (!m_bHot) {
            m_bHot = TRUE;
            Invalidate();
            TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, m_hWnd, 0};
            TrackMouseEvent(&track);
        }
    } else {
        DropHover();
    }
}

void SkinButton::OnClicked()
{
    SetFocus(m_hWnd);
    if (m_bCheckMode) {
        m_bChecked = !m_bChecked;
        Invalidate();
        return;
    }
    if (HasDropDownMenu()) {
        ShowDropDownMenu();
        return;
    }
    if (m_szLinkTarget[0] != '\0') {
        SHELLEXECUTEINFOA info{};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_FLAG_NO_UI;
        info.hwnd = nullptr;
        info.lpVerb = "open";
        info.lpFile = m_szLinkTarget;
        info.nShow = SW_SHOWMAXIMIZED;
        ShellExecuteExA(&info);  // result not examined: a failed open simply opens nothing
    }
}

BOOL SkinButton::SetMenu(UINT menuId, HWND hOwner)
{
    m_hMenuOwner = hOwner;
    return m_menu.LoadFromResource(menuId);
}

BOOL SkinButton::SetMenu(const wchar_t* menuName, HWND hOwner)
{
    m_hMenuOwner = hOwner;
    return m_menu.LoadFromResource(menuName);
}

void SkinButton::ShowDropDownMenu()
{
    RECT rect{};
    GetWindowRect(m_hWnd, &rect);
    m_bMenuShowing = TRUE;
    Invalidate();
    UpdateWindow(m_hWnd);  // pressed before the menu's own loop takes over
    const HMENU popup = GetSubMenu(m_menu.GetSafeHmenu(), 0);
    UINT command = 0;
    if (popup != nullptr)
        command =
            static_cast<UINT>(TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_RIGHTBUTTON | TPM_NONOTIFY | TPM_RETURNCMD,
                                             rect.left, rect.bottom, 0, m_hWnd, nullptr));
    m_bMenuShowing = FALSE;
    Invalidate();
    if (command != 0) {
        const HWND owner = m_hMenuOwner != nullptr ? m_hMenuOwner : GetParent(m_hWnd);
        PostMessageW(owner, WM_COMMAND, LOWORD(command), 0);
    }
}

bool SkinButton::OnMeasureMenuItem(MEASUREITEMSTRUCT& item)
{
    if (item.CtlType != ODT_MENU)
        return false;
    const HMENU popup = reinterpret_cast<HMENU>(static_cast<UINT_PTR>(item.itemID));
    if (IsMenu(popup) && SkinMenu::IsMenuRegistered(popup)) {
        m_menu.MeasureItem(item);
        return true;
    }
    // Any other item of a skinned menu is measured by the menu that holds it.
    if (SkinMenu* owner = SkinMenu::OwnerOfRecord(reinterpret_cast<const MenuItemData*>(item.itemData))) {
        owner->MeasureItem(item);
        return true;
    }
    return false;
}

bool SkinButton::OnDrawMenuItem(const DRAWITEMSTRUCT& item)
{
    if (item.CtlType != ODT_MENU)
        return false;
    SkinMenu* menu = SkinMenu::FromHandle(reinterpret_cast<HMENU>(item.hwndItem));
    if (menu == nullptr)
        menu = SkinMenu::OwnerOfRecord(reinterpret_cast<const MenuItemData*>(item.itemData));
    if (menu == nullptr)
        return false;
    menu->DrawItem(item);
    return true;
}

void SkinButton::OnEnable(bool enabled)
{
    if (enabled)
        return;
    // The focus leaves a disabled button: to the next tab stop, else the dialog.
    const HWND parent = GetParent(m_hWnd);
    HWND next = parent != nullptr ? GetNextDlgTabItem(parent, m_hWnd, FALSE) : nullptr;
    if (next == nullptr || next == m_hWnd)
        next = parent;
    if (next != nullptr)
        SetFocus(next);
    DropHover();
}

void SkinButton::DiscardBackground()
{
    if (m_hBackgroundDC != nullptr) {
        if (m_hPreviousBitmap != nullptr)
            SelectObject(m_hBackgroundDC, m_hPreviousBitmap);
        DeleteDC(m_hBackgroundDC);
        m_hBackgroundDC = nullptr;
        m_hPreviousBitmap = nullptr;
    }
    if (m_hBackgroundBitmap != nullptr) {
        DeleteObject(m_hBackgroundBitmap);
        m_hBackgroundBitmap = nullptr;
    }
}

void SkinButton::PaintParentBackground(HDC hdc)
{
    const HWND parent = GetParent(m_hWnd);
    const skin::WindowDc parentWindowDc(parent);
    const HDC parentDC = parentWindowDc.Get();
    RECT client{};
    GetClientRect(m_hWnd, &client);
    RECT window{};
    GetWindowRect(m_hWnd, &window);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&window), 2);
    const int width = client.right - client.left, height = client.bottom - client.top;
    if (m_hBackgroundDC == nullptr) {
        m_hBackgroundDC = CreateCompatibleDC(parentDC);
        m_hBackgroundBitmap = CreateCompatibleBitmap(parentDC, width, height);
        m_hPreviousBitmap = SelectObject(m_hBackgroundDC, m_hBackgroundBitmap);
        BitBlt(m_hBackgroundDC, 0, 0, width, height, parentDC, window.left, window.top, SRCCOPY);
    }
    BitBlt(hdc, 0, 0, width, height, m_hBackgroundDC, 0, 0, SRCCOPY);
}

int SkinButton::PaintFace(HDC hdc, const RECT& rect)
{
    const skin::ColorSlot slot = skin::FaceSlot(m_bHot != FALSE, m_bPressedLook != FALSE, m_bFocusedLook != FALSE);
    const skin::GdiObject<HBRUSH> brush(CreateSolidBrush(m_colors[slot]));
    FillRect(hdc, &rect, brush.Get());
    return ButtonOk;
}

int SkinButton::PaintEdge(HDC hdc, const RECT& rect)
{
    if (m_bPressedLook)
        skin::Draw3dRect(hdc, rect, GetSysColor(COLOR_BTNSHADOW), GetSysColor(COLOR_BTNHIGHLIGHT));
    else
        skin::Draw3dRect(hdc, rect, GetSysColor(COLOR_BTNHIGHLIGHT), GetSysColor(COLOR_BTNSHADOW));
    return ButtonOk;
}

skin::ImagePlacement SkinButton::Place(bool hasCaption, const RECT& item, skin::Box& caption, int width,
                                       int height) const
{
    RECT client{};
    GetClientRect(m_hWnd, &client);
    return skin::PlaceImage(static_cast<skin::ImageAlign>(m_nImageAlign), hasCaption, ToBox(item), caption,
                            m_bPressedLook != FALSE, m_bCheckMode != FALSE, client.right - client.left, width, height);
}

void SkinButton::DrawIconImage(HDC hdc, bool hasCaption, const RECT& item, skin::Box& caption)
{
    const int entry = skin::ImageEntryFor(m_bCheckMode != FALSE, m_bPressedLook != FALSE, m_bHot != FALSE,
                                          m_icons[1].hIcon != nullptr);
    const ButtonIcon& icon = m_icons[entry];
    const int width = static_cast<int>(icon.dwWidth), height = static_cast<int>(icon.dwHeight);
    const skin::ImagePlacement at = Place(hasCaption, item, caption, width, height);
    DrawStateW(hdc, nullptr, nullptr, reinterpret_cast<LPARAM>(icon.hIcon), 0, at.x, at.y, width, height,
               m_bDisabledLook ? (DST_ICON | DSS_DISABLED) : DST_ICON);
}

void SkinButton::DrawBitmapImage(HDC hdc, bool hasCaption, const RECT& item, skin::Box& caption)
{
    const int entry = skin::ImageEntryFor(m_bCheckMode != FALSE, m_bPressedLook != FALSE, m_bHot != FALSE,
                                          m_bitmaps[1].hBitmap != nullptr);
    const ButtonBitmap& bitmap = m_bitmaps[entry];
    const int width = static_cast<int>(bitmap.dwWidth), height = static_cast<int>(bitmap.dwHeight);
    const skin::ImagePlacement at = Place(hasCaption, item, caption, width, height);

    const skin::MemoryDc imageContext(CreateCompatibleDC(hdc)), maskContext(CreateCompatibleDC(hdc));
    const HDC imageDC = imageContext.Get(), maskDC = maskContext.Get();
    const skin::SelectedObject imageSelection(imageDC, bitmap.hBitmap), maskSelection(maskDC, bitmap.hMask);
    // The mask goes on in monochrome: its white bits take the background colour
    // (white, set by the caller) and its black bits the text colour.
    const COLORREF oldText = SetTextColor(hdc, RGB(0, 0, 0));
    if (m_bDisabledLook && m_bGreyDisabledBitmap) {
        const skin::GdiObject<HBITMAP> scratch(CreateCompatibleBitmap(hdc, width, height));
        {
            // The scratch bitmap is selected out (and its context gone) before DrawState
            // takes it.
            const skin::MemoryDc scratchContext(CreateCompatibleDC(hdc));
            const HDC scratchDC = scratchContext.Get();
            const skin::SelectedObject scratchSelection(scratchDC, scratch.Get());
            PatBlt(scratchDC, 0, 0, width, height, WHITENESS);
            SetBkColor(scratchDC, RGB(255, 255, 255));
            SetTextColor(scratchDC, RGB(0, 0, 0));
            BitBlt(scratchDC, 0, 0, width, height, maskDC, 0, 0, SRCAND);
            BitBlt(scratchDC, 0, 0, width, height, imageDC, 0, 0, SRCPAINT);
        }
        DrawStateW(hdc, nullptr, nullptr, reinterpret_cast<LPARAM>(scratch.Get()), 0, at.x, at.y, width, height,
                   DST_BITMAP | DSS_DISABLED);
    } else {
        BitBlt(hdc, at.x, at.y, width, height, maskDC, 0, 0, SRCAND);
        BitBlt(hdc, at.x, at.y, width, height, imageDC, 0, 0, SRCPAINT);
    }
    SetTextColor(hdc, oldText);
}

void SkinButton::DrawItem(const DRAWITEMSTRUCT& item)
{
    HDC hdc = item.hDC;
    const UINT state = item.itemState;

    // 1. The look of this paint.
    if (m_bCheckMode)
        m_bPressedLook = ((state & ODS_SELECTED) || m_bChecked) ? TRUE : FALSE;
    else
        m_bPressedLook = ((state & ODS_SELECTED) || (HasDropDownMenu() && m_bMenuShowing)) ? TRUE : FALSE;
    m_bFocusedLook = (state & ODS_FOCUS) ? TRUE : FALSE;
    m_bDisabledLook = (state & ODS_DISABLED) ? TRUE : FALSE;

    // 2.-3. Working rectangle; a raised button frames itself in black when focused or default.
    RECT work = item.rcItem;
    SetBkMode(hdc, TRANSPARENT);
    if (!m_bFlat && (m_bFocusedLook || m_bIsDefault)) {
        skin::FrameSolid(hdc, work, RGB(0, 0, 0));
        InflateRect(&work, -1, -1);
    }

    // 4. Background.
    if (m_bTransparent)
        PaintParentBackground(hdc);
    else
        PaintFace(hdc, work);

    // 5. Edge.
    if (m_bPressedLook) {
        if (m_bFlat) {
            if (m_bDrawEdge)
                PaintEdge(hdc, work);
        } else {
            skin::FrameSolid(hdc, work, GetSysColor(COLOR_BTNSHADOW));
        }
    } else if (m_bFlat) {
        if (m_bHot && m_bDrawEdge)
            PaintEdge(hdc, work);
    } else {
        const LONG l = work.left, t = work.top, r = work.right, b = work.bottom;
        Polyline3(hdc, GetSysColor(COLOR_BTNHIGHLIGHT), {l, b - 1}, {l, t}, {r, t});
        Polyline3(hdc, GetSysColor(COLOR_3DLIGHT), {l + 1, b - 1}, {l + 1, t + 1}, {r, t + 1});
        Polyline3(hdc, GetSysColor(COLOR_3DDKSHADOW), {l, b - 1}, {r - 1, b - 1}, {r - 1, t - 1});
        Polyline3(hdc, GetSysColor(COLOR_BTNSHADOW), {l + 1, b - 2}, {r - 2, b - 2}, {r - 2, t});
    }

    // 6. Caption and its rectangle (the item's, not the working one).
    std::wstring caption;
    const int length = GetWindowTextLengthW(m_hWnd);
    if (length > 0) {
        caption.resize(static_cast<std::size_t>(length) + 1);
        caption.resize(static_cast<std::size_t>(GetWindowTextW(m_hWnd, caption.data(), length + 1)));
    }
    const bool hasCaption = !caption.empty();
    skin::Box captionBox = ToBox(item.rcItem);

    // 7. Images.
    if (m_icons[0].hIcon != nullptr)
        DrawIconImage(hdc, hasCaption, item.rcItem, captionBox);
    if (m_bitmaps[0].hBitmap != nullptr) {
        SetBkColor(hdc, RGB(255, 255, 255));
        DrawBitmapImage(hdc, hasCaption, item.rcItem, captionBox);
    }

    // 8. Caption, centred as a block.
    if (hasCaption) {
        if (m_bPressedLook && !m_bCheckMode) {
            ++captionBox.left, ++captionBox.top, ++captionBox.right, ++captionBox.bottom;
        }
        RECT measured = ToRect(captionBox);
        DrawTextW(hdc, caption.c_str(), -1, &measured, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
        RECT centred = ToRect(skin::CentreIn(ToBox(measured), captionBox));
        SetBkMode(hdc, TRANSPARENT);
        if (m_bDisabledLook) {
            RECT engraved = centred;
            OffsetRect(&engraved, 1, 1);
            SetTextColor(hdc, GetSysColor(COLOR_BTNHIGHLIGHT));
            DrawTextW(hdc, caption.c_str(), -1, &engraved, DT_WORDBREAK | DT_CENTER);
            SetTextColor(hdc, GetSysColor(COLOR_BTNSHADOW));
            DrawTextW(hdc, caption.c_str(), -1, &centred, DT_WORDBREAK | DT_CENTER);
        } else {
            const skin::CaptionSlots slots = skin::CaptionSlotsFor(m_bHot != FALSE, m_bPressedLook != FALSE);
            SetTextColor(hdc, m_colors[slots.text]);
            SetBkColor(hdc, m_colors[slots.background]);
            DrawTextW(hdc, caption.c_str(), -1, &centred, DT_WORDBREAK | DT_CENTER);
        }
    }

    // 9. Focus rectangle.
    if ((!m_bFlat || m_bDrawFlatFocus) && m_bFocusedLook) {
        RECT focus = work;
        InflateRect(&focus, -3, -3);
        DrawFocusRect(hdc, &focus);
    }
}
