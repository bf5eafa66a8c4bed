// The skinned button under Wine: painted into memory and read back pixel by pixel,
// and driven with the messages the dialog manager and the mouse send it.
#include "controls/SkinButton.h"

#include "WineTestDialog.h"
#include "shell/Reflect.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr COLORREF HOT_FACE = RGB(0, 0, 200);
constexpr COLORREF HOT_TEXT = RGB(255, 255, 0);
constexpr COLORREF REST_FACE = RGB(200, 0, 0);
constexpr COLORREF REST_TEXT = RGB(0, 255, 0);
constexpr COLORREF FOCUS_FACE = RGB(0, 150, 0);
constexpr COLORREF FOCUS_TEXT = RGB(255, 0, 255);

COLORREF Sys(int index)
{
    return GetSysColor(index);
}

// Records the messages a window receives, before the skinned button sees them.
class MessageRecorder {
public:
    struct Entry {
        UINT message;
        WPARAM wParam;
    };
    explicit MessageRecorder(HWND hWnd)
        : m_hWnd(hWnd)
    {
        SetWindowSubclass(hWnd, Proc, 1, reinterpret_cast<DWORD_PTR>(this));
    }
    ~MessageRecorder() { RemoveWindowSubclass(m_hWnd, Proc, 1); }
    std::vector<Entry> entries;
    // Whether `expected` occurs in the record in this order (other messages may come between).
    bool Contains(const std::vector<Entry>& expected) const
    {
        std::size_t next = 0;
        for (const Entry& e : entries)
            if (next < expected.size() && e.message == expected[next].message && e.wParam == expected[next].wParam)
                ++next;
        return next == expected.size();
    }
    int CountOf(UINT message) const
    {
        int n = 0;
        for (const Entry& e : entries)
            n += e.message == message;
        return n;
    }

private:
    static LRESULT CALLBACK Proc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR ref)
    {
        reinterpret_cast<MessageRecorder*>(ref)->entries.push_back({message, wParam});
        return DefSubclassProc(hWnd, message, wParam, lParam);
    }
    HWND m_hWnd;
};

LPARAM ClientCentre(HWND hWnd)
{
    RECT r{};
    GetClientRect(hWnd, &r);
    return MAKELPARAM(r.right / 2, r.bottom / 2);
}

class SkinButtonTest : public ::testing::Test {
protected:
    explicit SkinButtonTest(int defaultId = 101)
        : dialog(defaultId)
    {
    }

    void SetUp() override
    {
        ASSERT_NE(dialog.Hwnd(), nullptr);
        // Text without anti-aliasing, so that caption pixels have exactly the text colour.
        font = CreateFontW(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, DEFAULT_PITCH, L"Tahoma");
        for (int id = 100; id <= 102; ++id)
            SendMessageW(dialog.Item(id), WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        ASSERT_TRUE(button.SubclassDlgItem(100, dialog.Hwnd()));
        hwnd = button.GetSafeHwnd();
        const COLORREF colours[6] = {HOT_FACE, HOT_TEXT, REST_FACE, REST_TEXT, FOCUS_FACE, FOCUS_TEXT};
        for (int slot = 0; slot < 6; ++slot)
            ASSERT_EQ(button.SetStateColor(slot, colours[slot]), SkinButton::ButtonOk);
        // The pointer starts away from every button.
        SetCursorPos(790, 590);
        Pump();
    }
    void TearDown() override { DeleteObject(font); }

    std::unique_ptr<Canvas> Paint(UINT state)
    {
        RECT r{};
        GetClientRect(hwnd, &r);
        auto canvas = std::make_unique<Canvas>(r.right, r.bottom);
        PaintControl(hwnd, state, *canvas);
        return canvas;
    }

    void MakeHot()
    {
        const POINT p = CentreOnScreen(hwnd);
        SetCursorPos(p.x, p.y);
        SendMessageW(hwnd, WM_MOUSEMOVE, 0, ClientCentre(hwnd));
    }

    void Click(UINT down = WM_LBUTTONDOWN)
    {
        SendMessageW(hwnd, down, MK_LBUTTON, ClientCentre(hwnd));
        SendMessageW(hwnd, WM_LBUTTONUP, 0, ClientCentre(hwnd));
    }

    int Clicks() const
    {
        int n = 0;
        for (const auto& [id, code] : dialog.notifications)
            n += id == 100 && code == BN_CLICKED;
        return n;
    }

    TestDialog dialog;
    HFONT font = nullptr;
    SkinButton button;
    HWND hwnd = nullptr;
};

class DefaultSkinButtonTest : public SkinButtonTest {
protected:
    DefaultSkinButtonTest()
        : SkinButtonTest(100)
    {
    }
};

}  // namespace

// ---- colour slots --------------------------------------------------------------

TEST(SkinButtonColours, StartAtTheSystemColoursAndRefuseBadSlots)
{
    SkinButton button;
    for (int slot : {SKIN_HOT_FACE, SKIN_REST_FACE, SKIN_FOCUS_FACE})
        EXPECT_EQ(button.GetStateColor(slot), Sys(COLOR_BTNFACE)) << slot;
    for (int slot : {SKIN_HOT_TEXT, SKIN_REST_TEXT, SKIN_FOCUS_TEXT})
        EXPECT_EQ(button.GetStateColor(slot), Sys(COLOR_BTNTEXT)) << slot;

    EXPECT_EQ(button.SetStateColor(6, RGB(1, 2, 3)), SkinButton::ButtonBadIndex);
    EXPECT_EQ(button.SetStateColor(-1, RGB(1, 2, 3)), SkinButton::ButtonBadIndex);
    EXPECT_EQ(button.SetStateColor(5, RGB(1, 2, 3)), SkinButton::ButtonOk);  // no window: nothing to repaint
    EXPECT_EQ(button.GetStateColor(5), RGB(1, 2, 3));
    for (int slot = 0; slot < 5; ++slot)
        EXPECT_NE(button.GetStateColor(slot), RGB(1, 2, 3));
    EXPECT_EQ(button.ResetStateColors(), SkinButton::ButtonOk);
    EXPECT_EQ(button.GetStateColor(5), Sys(COLOR_BTNTEXT));
}

TEST_F(SkinButtonTest, SettingAColourRepaintsTheButton)
{
    UpdateWindow(dialog.Hwnd());
    RECT dirty{};
    EXPECT_FALSE(GetUpdateRect(hwnd, &dirty, FALSE));
    button.SetStateColor(SKIN_FOCUS_TEXT, RGB(9, 9, 9));
    EXPECT_TRUE(GetUpdateRect(hwnd, &dirty, FALSE));
    UpdateWindow(hwnd);
    button.SetStateColor(SKIN_REST_FACE, RGB(9, 9, 9), false);
    EXPECT_FALSE(GetUpdateRect(hwnd, &dirty, FALSE));
}

// ---- paint ---------------------------------------------------------------------

TEST_F(SkinButtonTest, AtRestOnlyTheFaceAndTheCaptionShow)
{
    auto at = Paint(0);
    const int all = at->Width() * at->Height();
    EXPECT_EQ(at->At(0, 0), REST_FACE);
    EXPECT_EQ(at->At(at->Width() - 1, at->Height() - 1), REST_FACE);
    EXPECT_GT(at->Count(REST_TEXT), 20);
    // No bevel, no focus rectangle, no other colour.
    EXPECT_EQ(at->Count(REST_FACE) + at->Count(REST_TEXT), all);

    // Focused: the focus face, but the caption keeps the rest text colour.
    auto focused = Paint(ODS_FOCUS);
    EXPECT_EQ(focused->At(0, 0), FOCUS_FACE);
    EXPECT_EQ(focused->Count(FOCUS_TEXT), 0);
    EXPECT_EQ(focused->Count(FOCUS_FACE) + focused->Count(REST_TEXT), all);

    // The caption is one centred block.
    const RECT text = at->Bounds(REST_TEXT);
    // (ink, not advance: the glyphs' side bearings leave a few pixels of slack)
    EXPECT_LE(std::abs(text.left - (at->Width() - text.right)), 4);
    EXPECT_LE(std::abs(text.top - (at->Height() - text.bottom)), 4);
}

TEST_F(SkinButtonTest, HotShowsTheHotColoursAndARaisedEdge)
{
    MakeHot();
    ASSERT_TRUE(button.IsHot());
    auto at = Paint(0);
    const int w = at->Width(), h = at->Height();
    EXPECT_EQ(at->At(0, 0), Sys(COLOR_BTNHIGHLIGHT));
    EXPECT_EQ(at->At(0, h - 2), Sys(COLOR_BTNHIGHLIGHT));
    EXPECT_EQ(at->At(w - 1, h - 1), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(at->At(w - 1, 0), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(at->At(1, 1), HOT_FACE);
    EXPECT_GT(at->Count(HOT_TEXT), 20);
    EXPECT_EQ(at->Count(REST_TEXT), 0);
    // Hot wins over focus.
    EXPECT_EQ(Paint(ODS_FOCUS)->At(1, 1), HOT_FACE);
}

TEST_F(SkinButtonTest, PressedSinksTheEdgeAndShiftsTheCaption)
{
    const RECT rest = Paint(0)->Bounds(REST_TEXT);
    auto at = Paint(ODS_SELECTED);
    const int w = at->Width(), h = at->Height();
    EXPECT_EQ(at->At(0, 0), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(at->At(w - 1, h - 1), Sys(COLOR_BTNHIGHLIGHT));
    EXPECT_EQ(at->At(1, 1), HOT_FACE);
    const RECT pressed = at->Bounds(HOT_TEXT);
    EXPECT_EQ(pressed.left, rest.left + 1);
    EXPECT_EQ(pressed.top, rest.top + 1);
    EXPECT_EQ(pressed.right, rest.right + 1);
}

TEST_F(SkinButtonTest, DisabledCaptionIsEngravedInSystemColours)
{
    auto at = Paint(ODS_DISABLED);
    EXPECT_EQ(at->Count(REST_TEXT), 0);
    const RECT shadow = at->Bounds(Sys(COLOR_BTNSHADOW));
    const RECT light = at->Bounds(Sys(COLOR_BTNHIGHLIGHT));
    ASSERT_GT(at->Count(Sys(COLOR_BTNSHADOW)), 20);
    EXPECT_EQ(light.right, shadow.right + 1);
    EXPECT_EQ(light.bottom, shadow.bottom + 1);
    EXPECT_EQ(at->At(0, 0), REST_FACE);
}

TEST_F(SkinButtonTest, CheckedInCheckModeLooksPressedWithoutMovingTheCaption)
{
    // Outside check mode the checked state is ignored.
    EXPECT_EQ(button.SetCheckedState(1), SkinButton::ButtonOk);
    EXPECT_EQ(button.GetCheckedState(), 0);

    const RECT rest = Paint(0)->Bounds(REST_TEXT);
    button.SetCheckMode(true);
    EXPECT_EQ(button.SetCheckedState(1), SkinButton::ButtonOk);
    EXPECT_EQ(button.GetCheckedState(), 1);
    auto at = Paint(0);
    EXPECT_EQ(at->At(0, 0), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(at->At(1, 1), HOT_FACE);
    const RECT checked = at->Bounds(HOT_TEXT);
    EXPECT_EQ(checked.left, rest.left);
    EXPECT_EQ(checked.top, rest.top);
}

TEST_F(SkinButtonTest, RaisedLookHasTheClassicBevelAndFocusMarks)
{
    button.SetFlat(false);
    auto at = Paint(0);
    const int w = at->Width(), h = at->Height();
    EXPECT_EQ(at->At(0, 0), Sys(COLOR_BTNHIGHLIGHT));
    EXPECT_EQ(at->At(1, 1), Sys(COLOR_3DLIGHT));
    EXPECT_EQ(at->At(w - 1, h - 1), Sys(COLOR_3DDKSHADOW));
    EXPECT_EQ(at->At(w - 2, h - 2), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(at->At(2, 2), REST_FACE);

    // Focused: a black frame, the bevel inside it, and the dotted focus rectangle.
    auto focused = Paint(ODS_FOCUS);
    EXPECT_EQ(focused->At(0, 0), RGB(0, 0, 0));
    EXPECT_EQ(focused->At(w - 1, h - 1), RGB(0, 0, 0));
    EXPECT_EQ(focused->At(1, 1), Sys(COLOR_BTNHIGHLIGHT));
    const RECT focusRow{5, 4, w - 5, 5};
    EXPECT_LT(focused->Count(FOCUS_FACE, focusRow), w - 10);

    // Pressed: a shadow frame only.
    auto pressed = Paint(ODS_SELECTED);
    EXPECT_EQ(pressed->At(0, 0), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(pressed->At(w - 1, h - 1), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(pressed->At(1, 1), HOT_FACE);

    // A raised button is never hot.
    MakeHot();
    EXPECT_FALSE(button.IsHot());
}

TEST_F(SkinButtonTest, EmptyCaptionDrawsOnlyTheFace)
{
    SetWindowTextW(hwnd, L"");
    auto at = Paint(0);
    EXPECT_EQ(at->Count(REST_FACE), at->Width() * at->Height());
}

TEST_F(SkinButtonTest, MultiLineCaptionIsCentredAsABlock)
{
    RECT client{};
    GetClientRect(hwnd, &client);
    SetWindowPos(hwnd, nullptr, 0, 0, client.right, 60, SWP_NOMOVE | SWP_NOZORDER);
    SetWindowTextW(hwnd, L"Open the file now please");
    auto at = Paint(0);
    const RECT text = at->Bounds(REST_TEXT);
    EXPECT_GT(text.bottom - text.top, 20);  // wrapped to two lines at least
    EXPECT_LE(std::abs(text.top - (at->Height() - text.bottom)), 4);
    EXPECT_LE(std::abs(text.left - (at->Width() - text.right)), 3);
}

TEST_F(SkinButtonTest, MaskedBitmapShowsOnlyItsOpaquePixelsBesideTheCaption)
{
    const RECT captionAlone = Paint(0)->Bounds(REST_TEXT);
    HDC screen = GetDC(nullptr);
    HBITMAP image = CreateCompatibleBitmap(screen, 16, 16);
    ReleaseDC(nullptr, screen);
    {
        Canvas draw(1, 1);
        HGDIOBJ old = SelectObject(draw.Dc(), image);
        HBRUSH magenta = CreateSolidBrush(RGB(255, 0, 255));
        HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
        RECT all{0, 0, 16, 16}, centre{4, 4, 12, 12};
        FillRect(draw.Dc(), &all, magenta);
        FillRect(draw.Dc(), &centre, red);
        DeleteObject(magenta);
        DeleteObject(red);
        SelectObject(draw.Dc(), old);
    }
    button.SetBitmaps(image, RGB(255, 0, 255));
    auto at = Paint(0);
    const int top = (at->Height() - 16) / 2;
    EXPECT_EQ(at->Count(RGB(255, 0, 255)), 0);
    EXPECT_EQ(at->Count(RGB(255, 0, 0)), 64);
    EXPECT_EQ(at->At(3 + 4, top + 4), RGB(255, 0, 0));
    EXPECT_EQ(at->At(3, top), REST_FACE);  // a transparent corner shows the face
    // The caption is centred in what is left right of the image.
    const RECT text = at->Bounds(REST_TEXT);
    EXPECT_GT(text.left, captionAlone.left);
    EXPECT_GE(text.left, 19);
}

namespace {

// A 16 x 16 fully opaque icon of one colour (0x00RRGGBB as the DIB stores it).
HICON SolidIcon(DWORD rgb)
{
    BYTE andMask[16 * 16 / 8] = {};
    std::vector<DWORD> colour(16 * 16, rgb);
    HBITMAP mask = CreateBitmap(16, 16, 1, 1, andMask);
    HBITMAP colours = CreateBitmap(16, 16, 1, 32, colour.data());
    ICONINFO info{TRUE, 0, 0, mask, colours};
    HICON icon = CreateIconIndirect(&info);
    DeleteObject(mask);
    DeleteObject(colours);
    return icon;
}

}  // namespace

TEST_F(SkinButtonTest, IconWithoutCaptionIsCentredAndTheHotOneShowsWhenHot)
{
    SetWindowTextW(hwnd, L"");
    HICON hot = SolidIcon(0x0000FF), rest = SolidIcon(0xFF0000);  // blue, red
    ASSERT_NE(hot, nullptr);
    ASSERT_NE(rest, nullptr);
    button.SetIcons(hot, rest);
    auto at = Paint(0);
    EXPECT_EQ(at->Count(RGB(0, 0, 255)), 0);
    const RECT drawn = at->Bounds(RGB(255, 0, 0));
    EXPECT_EQ(drawn.right - drawn.left, 16);
    EXPECT_EQ(drawn.left, (at->Width() - 16) / 2);
    EXPECT_EQ(drawn.top, (at->Height() - 16) / 2);

    // Pressed: the hot image, one pixel right and down.
    auto pressed = Paint(ODS_SELECTED);
    EXPECT_EQ(pressed->Count(RGB(255, 0, 0)), 0);
    EXPECT_EQ(pressed->Bounds(RGB(0, 0, 255)).left, drawn.left + 1);
    EXPECT_EQ(pressed->Bounds(RGB(0, 0, 255)).top, drawn.top + 1);

    MakeHot();
    EXPECT_EQ(Paint(0)->Count(RGB(0, 0, 255)), 16 * 16);

    // Disabled: drawn in the system's disabled style, not in its own colours.
    auto disabled = Paint(ODS_DISABLED);
    EXPECT_EQ(disabled->Count(RGB(255, 0, 0)) + disabled->Count(RGB(0, 0, 255)), 0);
}

TEST_F(SkinButtonTest, ImageAboveTheCaptionPushesTheCaptionDown)
{
    RECT client{};
    GetClientRect(hwnd, &client);
    SetWindowPos(hwnd, nullptr, 0, 0, client.right, 60, SWP_NOMOVE | SWP_NOZORDER);
    const RECT alone = Paint(0)->Bounds(REST_TEXT);
    button.SetIcons(SolidIcon(0xFF0000));
    button.SetImageAlign(skin::ImageAbove);
    auto at = Paint(0);
    const RECT image = at->Bounds(RGB(255, 0, 0));
    EXPECT_EQ(image.top, 3);
    const RECT text = at->Bounds(REST_TEXT);
    EXPECT_GE(text.top, image.bottom - 1);
    EXPECT_GT(text.top, alone.top);
}

TEST_F(SkinButtonTest, TransparentModeCopiesTheParentsBackground)
{
    // Paint the dialog's client area under the button in one colour.
    RECT r{};
    GetWindowRect(hwnd, &r);
    MapWindowPoints(nullptr, dialog.Hwnd(), reinterpret_cast<POINT*>(&r), 2);
    ShowWindow(hwnd, SW_HIDE);
    UpdateWindow(dialog.Hwnd());
    HDC parent = GetDC(dialog.Hwnd());
    HBRUSH teal = CreateSolidBrush(RGB(0, 128, 128));
    FillRect(parent, &r, teal);
    DeleteObject(teal);
    ReleaseDC(dialog.Hwnd(), parent);
    GdiFlush();

    button.SetTransparent(true, false);
    auto at = Paint(0);
    EXPECT_EQ(at->At(0, 0), RGB(0, 128, 128));
    EXPECT_EQ(at->At(at->Width() - 1, at->Height() - 1), RGB(0, 128, 128));
    EXPECT_EQ(at->Count(REST_FACE), 0);
    EXPECT_GT(at->Count(REST_TEXT), 20);

    // The copy is kept: a new parent colour shows only after a system colour change.
    ShowWindow(hwnd, SW_HIDE);
    parent = GetDC(dialog.Hwnd());
    HBRUSH olive = CreateSolidBrush(RGB(128, 128, 0));
    FillRect(parent, &r, olive);
    DeleteObject(olive);
    ReleaseDC(dialog.Hwnd(), parent);
    GdiFlush();
    EXPECT_EQ(Paint(0)->At(0, 0), RGB(0, 128, 128));
    SendMessageW(hwnd, WM_SYSCOLORCHANGE, 0, 0);
    EXPECT_EQ(Paint(0)->At(0, 0), RGB(128, 128, 0));
    ShowWindow(hwnd, SW_SHOW);
}

// ---- hover -----------------------------------------------------------------------

TEST_F(SkinButtonTest, PointerLeavingDropsTheHotLook)
{
    MessageRecorder record(hwnd);
    MakeHot();
    ASSERT_TRUE(button.IsHot());
    RECT dirty{};
    EXPECT_TRUE(GetUpdateRect(hwnd, &dirty, FALSE));  // repainted on entering
    UpdateWindow(hwnd);
    SetCursorPos(790, 590);
    EXPECT_TRUE(Pump([&] { return !button.IsHot(); }, 3000));
    EXPECT_EQ(record.CountOf(WM_MOUSELEAVE), 1);
    EXPECT_TRUE(record.Contains({{WM_MOUSELEAVE, 0}, {WM_PAINT, 0}}));  // and repainted on leaving
}

TEST_F(SkinButtonTest, MovingOverAnotherWindowDropsTheHotLook)
{
    MakeHot();
    ASSERT_TRUE(button.IsHot());
    // A move reported to the button while the pointer is over its neighbour.
    const POINT other = CentreOnScreen(dialog.Item(101));
    POINT client = other;
    ScreenToClient(hwnd, &client);
    SendMessageW(hwnd, WM_MOUSEMOVE, 0, MAKELPARAM(client.x, client.y));
    EXPECT_FALSE(button.IsHot());
}

TEST_F(SkinButtonTest, EnteringWithTheButtonHeldDoesNotLight)
{
    const POINT p = CentreOnScreen(hwnd);
    SetCursorPos(p.x, p.y);
    SendMessageW(hwnd, WM_MOUSEMOVE, MK_LBUTTON, ClientCentre(hwnd));
    EXPECT_FALSE(button.IsHot());
    // Once hot, a drag over the button keeps it hot.
    SendMessageW(hwnd, WM_MOUSEMOVE, 0, ClientCentre(hwnd));
    SendMessageW(hwnd, WM_MOUSEMOVE, MK_LBUTTON, ClientCentre(hwnd));
    EXPECT_TRUE(button.IsHot());
}

TEST_F(SkinButtonTest, FocusLossCancelModeAndDeactivationDropTheHotLook)
{
    const UINT messages[3][2] = {{WM_KILLFOCUS, 0}, {WM_CANCELMODE, 0}, {WM_ACTIVATE, WA_INACTIVE}};
    for (const auto& m : messages) {
        MakeHot();
        ASSERT_TRUE(button.IsHot());
        SendMessageW(hwnd, m[0], m[1], 0);
        EXPECT_FALSE(button.IsHot()) << m[0];
    }
    MakeHot();
    SendMessageW(hwnd, WM_ACTIVATE, WA_ACTIVE, 0);
    EXPECT_TRUE(button.IsHot());
}

// ---- default button, dialog codes, clicks -----------------------------------------

TEST_F(DefaultSkinButtonTest, DefaultStateFollowsTheDialogManager)
{
    EXPECT_TRUE(button.IsDefault());
    EXPECT_EQ(GetWindowLongW(hwnd, GWL_STYLE) & 0x1F, BS_OWNERDRAW);
    LRESULT code = SendMessageW(hwnd, WM_GETDLGCODE, 0, 0);
    EXPECT_TRUE(code & DLGC_DEFPUSHBUTTON);
    EXPECT_FALSE(code & DLGC_UNDEFPUSHBUTTON);

    MessageRecorder record(hwnd);
    SendMessageW(dialog.Hwnd(), DM_SETDEFID, 101, 0);
    EXPECT_TRUE(record.Contains({{BM_SETSTYLE, BS_PUSHBUTTON}}));
    EXPECT_FALSE(button.IsDefault());
    code = SendMessageW(hwnd, WM_GETDLGCODE, 0, 0);
    EXPECT_TRUE(code & DLGC_UNDEFPUSHBUTTON);
    EXPECT_FALSE(code & DLGC_DEFPUSHBUTTON);
    EXPECT_EQ(GetWindowLongW(hwnd, GWL_STYLE) & 0x1F, BS_OWNERDRAW);

    SendMessageW(dialog.Hwnd(), DM_SETDEFID, 100, 0);
    EXPECT_TRUE(record.Contains({{BM_SETSTYLE, BS_PUSHBUTTON}, {BM_SETSTYLE, BS_DEFPUSHBUTTON}}));
    EXPECT_TRUE(button.IsDefault());
    EXPECT_EQ(GetWindowLongW(hwnd, GWL_STYLE) & 0x1F, BS_OWNERDRAW);

    // Another button type leaves the state as it is and still keeps the control owner-drawn.
    SendMessageW(hwnd, BM_SETSTYLE, BS_CHECKBOX, FALSE);
    EXPECT_TRUE(button.IsDefault());
    EXPECT_EQ(GetWindowLongW(hwnd, GWL_STYLE) & 0x1F, BS_OWNERDRAW);
}

TEST_F(SkinButtonTest, PlainButtonAnswersUndefPushButton)
{
    EXPECT_FALSE(button.IsDefault());
    const LRESULT code = SendMessageW(hwnd, WM_GETDLGCODE, 0, 0);
    EXPECT_TRUE(code & DLGC_UNDEFPUSHBUTTON);
    EXPECT_FALSE(code & DLGC_DEFPUSHBUTTON);
    EXPECT_FALSE(button.IsCheckMode());
}

TEST_F(SkinButtonTest, DoubleClickIsASecondPress)
{
    SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, ClientCentre(hwnd));
    SendMessageW(hwnd, WM_LBUTTONUP, 0, ClientCentre(hwnd));
    SendMessageW(hwnd, WM_LBUTTONDBLCLK, MK_LBUTTON, ClientCentre(hwnd));
    SendMessageW(hwnd, WM_LBUTTONUP, 0, ClientCentre(hwnd));
    EXPECT_EQ(Clicks(), 2);
    for (const auto& [id, code] : dialog.notifications)
        EXPECT_NE(code, BN_DOUBLECLICKED);
    EXPECT_EQ(GetFocus(), hwnd);  // a click takes the focus
}

TEST_F(SkinButtonTest, CheckModeClicksToggleAndTheCheckMessagesAgree)
{
    button.SetCheckMode(true);
    Click();
    EXPECT_EQ(button.GetCheckedState(), 1);
    EXPECT_EQ(SendMessageW(hwnd, BM_GETCHECK, 0, 0), 1);
    Click(WM_LBUTTONDBLCLK);
    EXPECT_EQ(button.GetCheckedState(), 0);
    EXPECT_EQ(Clicks(), 2);  // the dialog hears every click as well
    SendMessageW(hwnd, BM_SETCHECK, BST_INDETERMINATE, 0);
    EXPECT_EQ(button.GetCheckedState(), 1);
    SendMessageW(hwnd, BM_SETCHECK, BST_UNCHECKED, 0);
    EXPECT_EQ(button.GetCheckedState(), 0);
    SendMessageW(hwnd, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_EQ(SendMessageW(hwnd, BM_GETCHECK, 0, 0), 1);
}

TEST(SkinButtonStyle, TemplateCheckBitTurnsOnCheckMode)
{
    TestDialog dialog;
    SetWindowLongW(dialog.Item(102), GWL_STYLE, GetWindowLongW(dialog.Item(102), GWL_STYLE) | BS_AUTOCHECKBOX);
    SkinButton button;
    ASSERT_TRUE(button.SubclassDlgItem(102, dialog.Hwnd()));
    EXPECT_TRUE(button.IsCheckMode());
    EXPECT_EQ(GetWindowLongW(dialog.Item(102), GWL_STYLE) & 0x1F, BS_OWNERDRAW);
    EXPECT_FALSE(button.SubclassDlgItem(102, dialog.Hwnd()));  // attached once only
    SkinButton none;
    EXPECT_FALSE(none.SubclassDlgItem(999, dialog.Hwnd()));

    // A push button that is owner-drawn already stays a push button.
    SetWindowLongW(dialog.Item(101), GWL_STYLE, (GetWindowLongW(dialog.Item(101), GWL_STYLE) & ~0x1F) | BS_OWNERDRAW);
    SkinButton ownerDrawn;
    ASSERT_TRUE(ownerDrawn.SubclassDlgItem(101, dialog.Hwnd()));
    EXPECT_FALSE(ownerDrawn.IsCheckMode());
}

TEST_F(SkinButtonTest, DisablingMovesTheFocusToTheNextTabStop)
{
    SetFocus(dialog.Item(102));  // whether or not the button had the focus
    MakeHot();
    EnableWindow(hwnd, FALSE);
    EXPECT_EQ(GetFocus(), dialog.Item(101));
    EXPECT_FALSE(button.IsHot());

    // With no other tab stop left, the dialog itself takes the focus.
    EnableWindow(hwnd, TRUE);
    EnableWindow(dialog.Item(101), FALSE);
    EnableWindow(dialog.Item(102), FALSE);
    SetFocus(hwnd);
    EnableWindow(hwnd, FALSE);
    EXPECT_EQ(GetFocus(), dialog.Hwnd());
}

// ---- other features --------------------------------------------------------------

TEST(SkinButtonLink, LongTargetIsCutSoTheFieldStaysTerminated)
{
    SkinButton button;
    EXPECT_STREQ(button.GetLinkTarget(), "");
    const std::string longText(300, 'x');
    EXPECT_EQ(button.SetLinkTarget(longText.c_str()), SkinButton::ButtonOk);
    EXPECT_EQ(std::string(button.GetLinkTarget()), longText.substr(0, 259));
    button.SetLinkTarget("https://example.invalid/a");
    EXPECT_STREQ(button.GetLinkTarget(), "https://example.invalid/a");
    button.SetLinkTarget(std::string(260, 'y').c_str());
    EXPECT_EQ(std::strlen(button.GetLinkTarget()), 259u);
    button.SetLinkTarget(nullptr);
    EXPECT_STREQ(button.GetLinkTarget(), "");
}

TEST_F(SkinButtonTest, ReflectedColourRequestAnswersTheHollowBrush)
{
    HDC dc = GetDC(hwnd);
    const LRESULT brush = SendMessageW(hwnd, ReflectedMessage(WM_CTLCOLORBTN), reinterpret_cast<WPARAM>(dc),
                                       reinterpret_cast<LPARAM>(hwnd));
    ReleaseDC(hwnd, dc);
    EXPECT_EQ(reinterpret_cast<HGDIOBJ>(brush), GetStockObject(NULL_BRUSH));
    // A reflected notification other than a click changes nothing and answers 0.
    EXPECT_EQ(
        SendMessageW(hwnd, ReflectedMessage(WM_COMMAND), MAKEWPARAM(100, BN_SETFOCUS), reinterpret_cast<LPARAM>(hwnd)),
        0);
}

TEST_F(SkinButtonTest, TooltipIsCreatedInactiveOnTheFirstMouseMessage)
{
    EXPECT_EQ(button.GetToolTip(), nullptr);
    SendMessageW(hwnd, WM_MOUSEMOVE, 0, MAKELPARAM(1, 1));
    const HWND tip = button.GetToolTip();
    ASSERT_NE(tip, nullptr);
    wchar_t name[64] = {};
    GetClassNameW(tip, name, 64);
    EXPECT_STREQ(name, TOOLTIPS_CLASSW);
    EXPECT_EQ(SendMessageW(tip, TTM_GETMAXTIPWIDTH, 0, 0), 400);
    EXPECT_EQ(SendMessageW(tip, TTM_GETTOOLCOUNT, 0, 0), 0);
    button.SetTooltipText(L"Pick an image");
    EXPECT_EQ(SendMessageW(tip, TTM_GETTOOLCOUNT, 0, 0), 1);
    EXPECT_EQ(button.GetToolTip(), tip);  // made once
}

TEST_F(SkinButtonTest, HoverCursorIsShownOverTheButton)
{
    EXPECT_EQ(SendMessageW(hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
              FALSE);
    HCURSOR hand = CopyCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32649)) /* IDC_HAND */);
    button.SetHoverCursor(hand);
    EXPECT_EQ(SendMessageW(hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
              TRUE);
    EXPECT_EQ(GetCursor(), hand);
}

TEST(SkinButtonLifetime, WindowDestroyedBeforeTheObjectDetachesCleanly)
{
    auto dialog = std::make_unique<TestDialog>();
    SkinButton button;
    ASSERT_TRUE(button.SubclassDlgItem(100, dialog->Hwnd()));
    SendMessageW(button.GetSafeHwnd(), WM_MOUSEMOVE, 0, 0);  // brings the tooltip into being
    dialog.reset();
    EXPECT_EQ(button.GetSafeHwnd(), nullptr);
    EXPECT_EQ(button.GetToolTip(), nullptr);
}
