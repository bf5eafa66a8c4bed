// The skinned menu under Wine: a menu resource loaded into a SkinMenu, measured,
// drawn into memory in both looks, searched for shortcuts, and opened from a
// SkinButton with the keyboard choosing an item inside the menu's own loop.
#include "controls/SkinButton.h"
#include "controls/SkinMenu.h"

#include "WineTestDialog.h"
#include "controls/MenuRules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr UINT MENU_ID = 300;

COLORREF Sys(int index)
{
    return GetSysColor(index);
}
COLORREF Lighten(COLORREF c, double f)
{
    return skin::LightenColor(c, f);
}

// Wine's default scheme paints the menu, the window, the highlighted text and the
// button highlight all white, and gray text like the button shadow: the drawing
// tests run with colours that tell them apart, and put the old ones back.
class DistinctColours : public ::testing::Environment {
public:
    void SetUp() override
    {
        const int ids[] = {COLOR_MENU, COLOR_WINDOW, COLOR_HIGHLIGHTTEXT, COLOR_GRAYTEXT};
        const COLORREF colours[] = {RGB(230, 230, 200), RGB(250, 250, 235), RGB(255, 255, 200), RGB(120, 120, 120)};
        for (int id : ids)
            m_saved.push_back(GetSysColor(id));
        SetSysColors(4, ids, colours);
    }
    void TearDown() override
    {
        const int ids[] = {COLOR_MENU, COLOR_WINDOW, COLOR_HIGHLIGHTTEXT, COLOR_GRAYTEXT};
        SetSysColors(4, ids, m_saved.data());
    }

private:
    std::vector<COLORREF> m_saved;
};
const auto* const distinctColours = ::testing::AddGlobalTestEnvironment(new DistinctColours);

// Width of a text in the menu font.
int MenuTextWidth(const std::wstring& text)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    HFONT font = CreateFontIndirectW(&metrics.lfMenuFont);
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    DeleteObject(font);
    return size.cx;
}

bool OwnerDrawn(HMENU menu, UINT position)
{
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_FTYPE;
    GetMenuItemInfoW(menu, position, TRUE, &info);
    return (info.fType & MFT_OWNERDRAW) != 0;
}

// Restores the process-wide look settings after a test changed them.
class StyleGuard {
public:
    StyleGuard()
        : m_saved(SkinMenu::Settings())
    {
    }
    ~StyleGuard() { SkinMenu::Settings() = m_saved; }

private:
    SkinMenu::Style m_saved;
};

class SkinMenuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        registryBefore = SkinMenu::RegistryCount();
        ASSERT_TRUE(menu.LoadFromResource(MENU_ID));
        popup = GetSubMenu(menu, 0);
        ASSERT_NE(popup, nullptr);
        tools = SkinMenu::FromHandle(popup);
        ASSERT_NE(tools, nullptr);
        ASSERT_EQ(tools->Items().size(), 7u);
    }

    MenuItemData* Record(std::size_t position) const { return tools->Items()[position]; }

    MEASUREITEMSTRUCT Measure(std::size_t position) const
    {
        MEASUREITEMSTRUCT item{};
        item.CtlType = ODT_MENU;
        item.itemID = static_cast<UINT>(Record(position)->nId);
        item.itemData = reinterpret_cast<ULONG_PTR>(Record(position));
        tools->MeasureItem(item);
        return item;
    }

    // Draws item `position` into a fresh canvas of `width` x `height`.
    void Draw(Canvas& canvas, std::size_t position, UINT state) const
    {
        // Text without anti-aliasing, so that text pixels have exactly the text colour.
        static const HFONT font =
            CreateFontW(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                        CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, DEFAULT_PITCH, L"Tahoma");
        SelectObject(canvas.Dc(), font);
        canvas.Fill(RGB(1, 2, 3));
        DRAWITEMSTRUCT item{};
        item.CtlType = ODT_MENU;
        item.itemID = static_cast<UINT>(Record(position)->nId);
        item.itemAction = ODA_DRAWENTIRE;
        item.itemState = state;
        item.hwndItem = reinterpret_cast<HWND>(popup);
        item.hDC = canvas.Dc();
        item.rcItem = {0, 0, canvas.Width(), canvas.Height()};
        item.itemData = reinterpret_cast<ULONG_PTR>(Record(position));
        tools->DrawItem(item);
    }

    std::size_t registryBefore = 0;
    SkinMenu menu;
    HMENU popup = nullptr;
    SkinMenu* tools = nullptr;
};

}  // namespace

// ---- building ------------------------------------------------------------------

TEST_F(SkinMenuTest, ResourceBuildsOwnerDrawnPopupsUnderAPlainBar)
{
    // The bar: two plain text popups.
    ASSERT_EQ(GetMenuItemCount(menu), 2);
    wchar_t text[64] = {};
    GetMenuStringW(menu, 0, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(text, L"&Tools");
    EXPECT_FALSE(OwnerDrawn(menu, 0));
    EXPECT_FALSE(OwnerDrawn(menu, 1));

    // The popup: every item owner-drawn, with its record as item data.
    ASSERT_EQ(GetMenuItemCount(popup), 7);
    for (UINT position = 0; position < 7; ++position) {
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_DATA;
        ASSERT_TRUE(GetMenuItemInfoW(popup, position, TRUE, &info));
        EXPECT_TRUE(info.fType & MFT_OWNERDRAW) << position;
        EXPECT_EQ(info.dwItemData, reinterpret_cast<ULONG_PTR>(Record(position))) << position;
    }
    EXPECT_EQ(Record(2)->nFlags, 0x900u);  // separator
    EXPECT_EQ(Record(0)->nId, 301u);
    EXPECT_TRUE(Record(3)->nFlags & MF_GRAYED);
    EXPECT_TRUE(GetMenuState(popup, 3, MF_BYPOSITION) & MF_GRAYED);
    EXPECT_TRUE(Record(5)->nFlags & MF_POPUP);
    EXPECT_EQ(Record(5)->nId, reinterpret_cast<UINT_PTR>(GetSubMenu(popup, 5)));

    // Accelerators line up: the labels before a TAB were padded with spaces to the
    // widest label plus one space ("Checked item " here), in the menu font.
    const std::wstring open = Record(0)->text, find = Record(1)->text;
    EXPECT_EQ(open.substr(open.find(L'\t')), L"\tCtrl+O");
    EXPECT_EQ(open.rfind(L"&Open ", 0), 0u);
    const int widest = MenuTextWidth(L"Checked item ");
    for (const std::wstring& text : {open, find}) {
        const int width = MenuTextWidth(text.substr(0, text.find(L'\t')));
        EXPECT_GE(width, widest);
        EXPECT_LT(width, widest + MenuTextWidth(L" "));
    }
    EXPECT_EQ(Record(6)->text, L"Last f item");  // no TAB: untouched
}

TEST_F(SkinMenuTest, ItemTextByPositionAndByCommandAnywhereInTheTree)
{
    std::string text;
    EXPECT_TRUE(menu.GetMenuText(306, text, MF_BYCOMMAND));
    EXPECT_EQ(text, "&Deep");
    EXPECT_TRUE(menu.GetMenuText(310, text, MF_BYCOMMAND));
    EXPECT_EQ(text, "&About");
    EXPECT_FALSE(menu.GetMenuText(999, text, MF_BYCOMMAND));
    EXPECT_TRUE(tools->GetMenuText(6, text, MF_BYPOSITION));
    EXPECT_EQ(text, "Last f item");
    EXPECT_FALSE(tools->GetMenuText(7, text, MF_BYPOSITION));
}

TEST_F(SkinMenuTest, LoadingByNameAndAMissingResource)
{
    SkinMenu named;
    EXPECT_TRUE(named.LoadFromResource(L"NAMEDMENU"));
    EXPECT_EQ(SkinMenu::FromHandle(GetSubMenu(named, 0))->Items().size(), 1u);

    SkinMenu missing;
    EXPECT_FALSE(missing.LoadFromResource(999));
    EXPECT_EQ(missing.GetSafeHmenu(), nullptr);
    EXPECT_FALSE(missing.LoadFromResource(L"NOSUCHMENU"));
    // A failed load of a full menu leaves the old one in place.
    EXPECT_FALSE(menu.LoadFromResource(999));
    EXPECT_NE(menu.GetSafeHmenu(), nullptr);
}

TEST_F(SkinMenuTest, DestroyingTheMenuEmptiesTheRegistryOfItsPopups)
{
    const HMENU more = GetSubMenu(popup, 5);
    const HMENU help = GetSubMenu(menu, 1);
    EXPECT_TRUE(SkinMenu::IsMenuRegistered(popup));
    EXPECT_TRUE(SkinMenu::IsMenuRegistered(more));
    EXPECT_TRUE(SkinMenu::IsMenuRegistered(help));
    EXPECT_EQ(SkinMenu::RegistryCount(), registryBefore + 3);

    EXPECT_TRUE(menu.DestroyMenu());
    EXPECT_FALSE(SkinMenu::IsMenuRegistered(popup));
    EXPECT_FALSE(SkinMenu::IsMenuRegistered(more));
    EXPECT_FALSE(SkinMenu::IsMenuRegistered(help));
    EXPECT_EQ(SkinMenu::RegistryCount(), registryBefore);
    EXPECT_EQ(SkinMenu::FromHandle(popup), nullptr);
    EXPECT_EQ(menu.GetSafeHmenu(), nullptr);
    EXPECT_FALSE(IsMenu(popup));       // the popups went with the bar
    EXPECT_FALSE(menu.DestroyMenu());  // nothing left to destroy
}

TEST_F(SkinMenuTest, AppendingKeepsTheBarPlainAndSyncPicksUpForeignItems)
{
    // A popup appended to the loaded bar stays a plain text item of the bar.
    SkinMenu* extra = new SkinMenu;
    HMENU extraPopup = CreatePopupMenu();
    extra->Attach(extraPopup);
    EXPECT_TRUE(extra->AppendOwnerDrawnItem(L"&Late", 0, 501));
    EXPECT_TRUE(menu.AppendOwnerDrawnItem(L"&Extra", MF_POPUP, reinterpret_cast<UINT_PTR>(extraPopup)));
    EXPECT_TRUE(SkinMenu::IsMenuRegistered(extraPopup));
    wchar_t text[64] = {};
    GetMenuStringW(menu, 2, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(text, L"&Extra");
    EXPECT_FALSE(OwnerDrawn(menu, 2));
    // Separators asked for with a break: the bit 0x400, and the platform's MF_MENUBREAK.
    EXPECT_TRUE(extra->AppendOwnerDrawnItem(L"", 0x400, 0));
    EXPECT_EQ(extra->Items().back()->nFlags, 0xD00u);
    EXPECT_TRUE(extra->AppendOwnerDrawnItem(L"", MF_MENUBREAK, 0));
    EXPECT_EQ(extra->Items().back()->nFlags, 0x940u);
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_FTYPE;
    GetMenuItemInfoW(extraPopup, 2, TRUE, &info);
    EXPECT_TRUE(info.fType & MFT_MENUBREAK);

    // An item added behind the menu's back gets a record when the shortcut search runs.
    AppendMenuW(extraPopup, MF_STRING | MF_GRAYED, 502, L"&Zoom");
    EXPECT_EQ(SkinMenu::FindShortcut('z', MF_POPUP, extraPopup), MAKELRESULT(3, MNC_EXECUTE));
    ASSERT_EQ(extra->Items().size(), 4u);
    EXPECT_EQ(extra->Items()[0]->text, L"&Late");  // the others keep their records
    EXPECT_EQ(extra->Items()[3]->text, L"&Zoom");
    EXPECT_EQ(extra->Items()[3]->nId, 502u);
    EXPECT_TRUE(extra->Items()[3]->nFlags & MF_GRAYED);
    EXPECT_TRUE(OwnerDrawn(extraPopup, 3));
    // One removed behind its back loses its record at the next search.
    DeleteMenu(extraPopup, 0, MF_BYPOSITION);
    EXPECT_EQ(SkinMenu::FindShortcut('z', MF_POPUP, extraPopup), MAKELRESULT(2, MNC_EXECUTE));
    EXPECT_EQ(extra->Items().size(), 3u);
    // The extra menu was not made by the bar: the bar leaves it to its owner.
    menu.DestroyMenu();
    EXPECT_FALSE(SkinMenu::IsMenuRegistered(extraPopup));
    extra->Detach();
    delete extra;
}

// ---- measuring -----------------------------------------------------------------

TEST_F(SkinMenuTest, MeasuredSizesInBothLooks)
{
    StyleGuard guard;
    const int menuBar = GetSystemMetrics(SM_CYMENU);
    ASSERT_EQ(SkinMenu::OsClass(), 1);  // Wine reports a current NT: classic look by default

    const MEASUREITEMSTRUCT separator = Measure(2);
    EXPECT_EQ(separator.itemWidth, 0u);
    EXPECT_EQ(static_cast<int>(separator.itemHeight), std::max(menuBar / 2, (15 + 4) / 2));
    const MEASUREITEMSTRUCT open = Measure(0), last = Measure(6);
    EXPECT_EQ(static_cast<int>(open.itemHeight), std::max(menuBar, 15 + 4));
    EXPECT_GT(open.itemWidth, 33u);
    EXPECT_GT(last.itemWidth, Measure(5).itemWidth);  // "Last f item" is wider than "&More"

    SkinMenu::Settings().classicDrawMode = 1;  // the XP look off a themed XP desktop
    EXPECT_EQ(static_cast<int>(Measure(2).itemHeight), std::max(menuBar / 2, 11));
    EXPECT_EQ(static_cast<int>(Measure(0).itemHeight), std::max(menuBar, 22));
    EXPECT_EQ(Measure(0).itemWidth + 2, open.itemWidth);  // 16 + 7 + 8 against 2 * 16 + 1
    SkinMenu::Settings().xp3dImages = false;
    EXPECT_EQ(static_cast<int>(Measure(2).itemHeight), std::max(menuBar / 2, 9));
    EXPECT_EQ(Measure(0).itemWidth + 5, open.itemWidth);
}

// ---- drawing -------------------------------------------------------------------

TEST_F(SkinMenuTest, ClassicLookAtRestSelectedAndGrayed)
{
    const COLORREF bg = Sys(COLOR_MENU);
    Canvas at(160, 20);
    Draw(at, 0, 0);
    EXPECT_EQ(at.At(0, 10), bg);
    EXPECT_EQ(at.At(158, 10), bg);
    EXPECT_GT(at.Count(Sys(COLOR_MENUTEXT)), 20);
    EXPECT_EQ(at.Count(RGB(1, 2, 3)), 0);  // the whole item is painted
    const RECT text = at.Bounds(Sys(COLOR_MENUTEXT));
    EXPECT_GE(text.left, 16 + 9);

    // Selected, no image and no check: highlighted from the left edge.
    Draw(at, 0, ODS_SELECTED);
    EXPECT_EQ(at.At(1, 10), Sys(COLOR_HIGHLIGHT));
    EXPECT_EQ(at.At(158, 10), Sys(COLOR_HIGHLIGHT));
    EXPECT_GT(at.Count(Sys(COLOR_HIGHLIGHTTEXT)), 20);

    // Grayed at rest: engraved text.
    Draw(at, 3, ODS_GRAYED);
    EXPECT_EQ(at.Count(Sys(COLOR_MENUTEXT)), 0);
    EXPECT_GT(at.Count(Sys(COLOR_GRAYTEXT)), 20);
    EXPECT_GT(at.Count(Sys(COLOR_BTNHIGHLIGHT)), 5);
    EXPECT_EQ(at.Bounds(Sys(COLOR_BTNHIGHLIGHT)).right, at.Bounds(Sys(COLOR_GRAYTEXT)).right + 1);

    // Grayed and selected: still highlighted (the default), text in the menu colour.
    Draw(at, 3, ODS_GRAYED | ODS_SELECTED);
    EXPECT_EQ(at.At(1, 10), Sys(COLOR_HIGHLIGHT));
    EXPECT_GT(at.Count(bg, {16, 0, 160, 20}), 20);
    StyleGuard guard;
    SkinMenu::Settings().classicSelectDisabled = false;
    Draw(at, 3, ODS_GRAYED | ODS_SELECTED);
    EXPECT_EQ(at.At(1, 10), bg);
}

TEST_F(SkinMenuTest, ClassicLookMarksAndSeparator)
{
    const COLORREF bg = Sys(COLOR_MENU);
    Canvas at(160, 20);
    // Checked, no image: a light box with a tick; selected highlighting starts after it.
    Draw(at, 4, ODS_CHECKED);
    EXPECT_EQ(at.At(3, 3), Lighten(bg, 0.6));
    EXPECT_EQ(at.At(1 + 4 + 2, 2 + 4 + 4), Sys(COLOR_MENUTEXT));  // the tick's lowest stroke
    EXPECT_EQ(at.At(1 + 4 + 6, 2 + 4 + 4), Lighten(bg, 0.6));     // its last stroke is higher
    Draw(at, 4, ODS_CHECKED | ODS_SELECTED);
    EXPECT_EQ(at.At(16 + 5, 10), Sys(COLOR_HIGHLIGHT));
    EXPECT_EQ(at.At(16 + 3, 10), bg);

    Canvas line(160, 10);
    Draw(line, 2, 0);
    EXPECT_EQ(line.At(80, 2), bg);
    EXPECT_EQ(line.At(80, 5), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(line.At(80, 6), Sys(COLOR_BTNHIGHLIGHT));
}

TEST_F(SkinMenuTest, XpLookAtRestSelectedAndGrayed)
{
    StyleGuard guard;
    SkinMenu::Settings().classicDrawMode = 1;
    const COLORREF face = Lighten(Sys(COLOR_BTNFACE), 0.25);
    const COLORREF selection = Lighten(Sys(COLOR_HIGHLIGHT), 0.85);
    Canvas at(160, 22);

    Draw(at, 0, 0);
    EXPECT_EQ(at.At(3, 11), face);                 // the image column
    EXPECT_EQ(at.At(158, 11), Sys(COLOR_WINDOW));  // the rest of the item
    EXPECT_GT(at.Count(Sys(COLOR_MENUTEXT)), 20);
    EXPECT_GE(at.Bounds(Sys(COLOR_MENUTEXT)).left, 23 + 8);

    // Selected: one light highlight across, framed, the text keeps its colour.
    Draw(at, 0, ODS_SELECTED);
    EXPECT_EQ(at.At(0, 0), Sys(COLOR_HIGHLIGHT));
    EXPECT_EQ(at.At(3, 11), selection);
    EXPECT_EQ(at.At(158, 11), selection);
    EXPECT_GT(at.Count(Sys(COLOR_MENUTEXT)), 20);

    // Grayed: drawn as at rest even when selected, with light gray text.
    Draw(at, 3, ODS_GRAYED | ODS_SELECTED);
    EXPECT_EQ(at.At(3, 11), face);
    EXPECT_EQ(at.At(158, 11), Sys(COLOR_WINDOW));
    EXPECT_EQ(at.Count(selection), 0);
    EXPECT_EQ(at.Count(Sys(COLOR_MENUTEXT)), 0);
    EXPECT_GT(at.Count(Lighten(Sys(COLOR_GRAYTEXT), 0.4)), 5);

    // Checked without image: a 16 x 16 highlighted box in the column.
    Draw(at, 4, ODS_CHECKED);
    EXPECT_EQ(at.At(4, 3), Sys(COLOR_HIGHLIGHT));  // its frame: (23 - 16 + 1) / 2 = 4
    EXPECT_EQ(at.At(6, 5), Lighten(Sys(COLOR_HIGHLIGHT), 0.85));

    // Separator: column, then an etched line from column + gap.
    Canvas line(160, 12);
    Draw(line, 2, 0);
    EXPECT_EQ(line.At(3, 6), face);
    EXPECT_EQ(line.At(28, 6), Sys(COLOR_WINDOW));
    EXPECT_EQ(line.At(31, 6), Sys(COLOR_BTNSHADOW));
}

// ---- images -------------------------------------------------------------------

namespace {

// A popup menu of its own with image items, drawn item by item.
class ImageMenu {
public:
    ImageMenu() { m_menu.Attach(CreatePopupMenu()); }
    SkinMenu& Menu() { return m_menu; }
    void Draw(Canvas& canvas, std::size_t position, UINT state)
    {
        canvas.Fill(RGB(1, 2, 3));
        MenuItemData* record = m_menu.Items()[position];
        DRAWITEMSTRUCT item{};
        item.CtlType = ODT_MENU;
        item.itemID = static_cast<UINT>(record->nId);
        item.itemAction = ODA_DRAWENTIRE;
        item.itemState = state;
        item.hwndItem = reinterpret_cast<HWND>(m_menu.GetSafeHmenu());
        item.hDC = canvas.Dc();
        item.rcItem = {0, 0, canvas.Width(), canvas.Height()};
        item.itemData = reinterpret_cast<ULONG_PTR>(record);
        m_menu.DrawItem(item);
    }

private:
    SkinMenu m_menu;
};

int ImagesOwnedBy(UINT command)
{
    int n = 0;
    for (UINT owner : SkinMenu::SharedImageOwners())
        n += owner == command;
    return n;
}

constexpr COLORREF RED = RGB(255, 0, 0);
constexpr COLORREF BLUE = RGB(0, 0, 255);

}  // namespace

TEST(SkinMenuImages, ClassicLookImageAtRestSelectedAndEmbossedWhenGrayed)
{
    ImageMenu images;
    ASSERT_TRUE(images.Menu().AppendOwnerDrawnItem(L"Red\tCtrl+R", 0, 401, 400));
    const int index = images.Menu().Items()[0]->nSharedImageIndex;
    ASSERT_GE(index, 0);
    EXPECT_EQ(SkinMenu::SharedImageOwners()[static_cast<std::size_t>(index)], 401u);
    EXPECT_EQ(ImagesOwnedBy(401), 1);  // the classic look needs no faded or shadow copy
    // A second item of the same command finds the image without loading it.
    images.Menu().AppendOwnerDrawnItem(L"Red again", 0, 401);
    EXPECT_EQ(images.Menu().Items()[1]->nSharedImageIndex, index);
    // A command the toolbar does not have gets no image.
    images.Menu().AppendOwnerDrawnItem(L"None", 0, 499, 400);
    EXPECT_EQ(images.Menu().Items()[2]->nSharedImageIndex, -1);

    const COLORREF bg = Sys(COLOR_MENU);
    Canvas at(160, 20);  // image at (2, 2); its block from (6, 6) to (13, 12)
    images.Draw(at, 0, 0);
    EXPECT_EQ(at.At(8, 8), RED);
    EXPECT_EQ(at.At(3, 3), bg);  // the grey around the block is transparent
    EXPECT_EQ(at.Count(RED), 8 * 7);

    // Selected: the highlight starts right of the image box.
    images.Draw(at, 0, ODS_SELECTED);
    EXPECT_EQ(at.At(8, 8), RED);
    EXPECT_EQ(at.At(1, 10), bg);
    EXPECT_EQ(at.At(16 + 6, 10), Sys(COLOR_HIGHLIGHT));

    // Grayed: embossed, the image's pixels in shadow with a highlight copy one pixel
    // right and down, none of its own colour.
    images.Draw(at, 0, ODS_GRAYED);
    EXPECT_EQ(at.Count(RED), 0);
    EXPECT_EQ(at.At(8, 8), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(at.At(6 + 8, 6 + 7), Sys(COLOR_BTNHIGHLIGHT));  // the highlight copy's corner
    EXPECT_EQ(at.At(6 + 8, 6 + 3), Sys(COLOR_BTNHIGHLIGHT));  // and its right edge
    EXPECT_EQ(at.Count(Sys(COLOR_BTNHIGHLIGHT), {6, 6, 15, 14}), 8 + 7 - 1);
}

TEST(SkinMenuImages, XpLookKeepsFadedAndShadowCopiesAndRaisesTheSelectedImage)
{
    StyleGuard guard;
    SkinMenu::Settings().classicDrawMode = 1;
    ImageMenu images;
    ASSERT_TRUE(images.Menu().AppendOwnerDrawnItem(L"Blue", 0, 402, 400));
    EXPECT_EQ(ImagesOwnedBy(402), 3);  // the image, its faded copy and its shadow copy

    // Image position: ((16 + 7) - 16 + 1) / 2 = 4 across, (22 - 15 + 1) / 2 = 4 down.
    Canvas at(160, 22);
    images.Draw(at, 0, 0);
    EXPECT_EQ(at.At(4 + 6, 4 + 6), Lighten(BLUE, 0.3));  // at rest: the faded copy
    EXPECT_EQ(at.Count(BLUE), 0);

    images.Draw(at, 0, ODS_SELECTED);
    EXPECT_EQ(at.At(3 + 4, 3 + 4), BLUE);                                   // up and left
    EXPECT_EQ(at.At(5 + 11, 5 + 10), Lighten(Sys(COLOR_BTNSHADOW), 0.49));  // shadow down and right
    EXPECT_EQ(at.Count(BLUE), 8 * 7);

    images.Draw(at, 0, ODS_CHECKED);
    EXPECT_EQ(at.At(1, 1), Sys(COLOR_HIGHLIGHT));  // the checked box's frame
    EXPECT_EQ(at.At(3 + 4, 3 + 4), BLUE);

    // Loading the same command's image again replaces it, copies and all, in place.
    const int index = images.Menu().Items()[0]->nSharedImageIndex;
    images.Menu().AppendOwnerDrawnItem(L"Blue again", 0, 402, 400);
    EXPECT_EQ(images.Menu().Items()[1]->nSharedImageIndex, index);
    EXPECT_EQ(ImagesOwnedBy(402), 3);
}

TEST(SkinMenuImages, CheckImagesStandInForTheTickOfAnItemWithoutImage)
{
    ImageMenu images;
    // The strip holds two images: the first (red) becomes the unselected mark, the
    // second (blue) the selected one.
    ASSERT_TRUE(images.Menu().SetCheckImages(400, 400));
    images.Menu().AppendOwnerDrawnItem(L"Option", 0, 403);
    Canvas at(160, 20);
    images.Draw(at, 0, ODS_CHECKED);
    EXPECT_EQ(at.At(8, 8), RED);
    images.Draw(at, 0, ODS_CHECKED | ODS_SELECTED);
    EXPECT_EQ(at.At(8, 8), BLUE);
    images.Draw(at, 0, 0);  // not checked: no mark at all
    EXPECT_EQ(at.Count(RED) + at.Count(BLUE) + at.Count(Sys(COLOR_MENUTEXT), {0, 0, 20, 20}), 0);
}

// ---- keyboard shortcuts ------------------------------------------------------------

TEST_F(SkinMenuTest, ShortcutSearchAnswersPositionAndExecute)
{
    EXPECT_EQ(SkinMenu::FindShortcut('F', MF_POPUP, popup), MAKELRESULT(1, MNC_EXECUTE));
    EXPECT_EQ(SkinMenu::FindShortcut('f', MF_POPUP, popup), MAKELRESULT(1, MNC_EXECUTE));
    EXPECT_EQ(SkinMenu::FindShortcut('m', MF_POPUP, popup), MAKELRESULT(5, MNC_EXECUTE));
    EXPECT_EQ(SkinMenu::FindShortcut('l', MF_POPUP, popup), 0);  // "Last" has no ampersand
    EXPECT_EQ(SkinMenu::FindShortcut('f', 0, popup), 0);         // not a popup
    EXPECT_EQ(SkinMenu::FindShortcut('f', MF_POPUP, nullptr), 0);
}

// ---- the button's drop-down menu -----------------------------------------------------

namespace {

struct MenuProbe {
    SkinButton* button = nullptr;
    std::vector<WPARAM> keys;  // posted into the menu loop, one per tick
    bool sawShowing = false;
    bool sawPressedLook = false;
    bool sawPopupWindow = false;
    int ticks = 0;
};
MenuProbe* probe = nullptr;

void CALLBACK ProbeTick(HWND, UINT, UINT_PTR, DWORD)
{
    if (probe == nullptr)
        return;
    ++probe->ticks;
    const HWND hwnd = probe->button->GetSafeHwnd();
    probe->sawShowing = probe->sawShowing || probe->button->IsMenuShowing();
    probe->sawPopupWindow = probe->sawPopupWindow || FindWindowW(L"#32768", nullptr) != nullptr;
    RECT r{};
    GetClientRect(hwnd, &r);
    Canvas at(r.right, r.bottom);
    PaintControl(hwnd, 0, at);
    probe->sawPressedLook = probe->sawPressedLook || at.At(0, 0) == Sys(COLOR_BTNSHADOW);
    if (!probe->keys.empty()) {
        const WPARAM key = probe->keys.front();
        probe->keys.erase(probe->keys.begin());
        if (key == VK_ESCAPE)
            PostMessageW(hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
        else
            PostMessageW(hwnd, WM_CHAR, key, 0);
    } else if (probe->ticks > 50) {
        EndMenu();  // never hang the test
    }
}

// Clicks the button and lets `keys` reach the open menu; the click returns when
// the menu has closed.
MenuProbe OpenAndType(SkinButton& button, std::vector<WPARAM> keys)
{
    MenuProbe result;
    result.button = &button;
    result.keys = std::move(keys);
    probe = &result;
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, ProbeTick);
    const HWND hwnd = button.GetSafeHwnd();
    RECT r{};
    GetClientRect(hwnd, &r);
    SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(r.right / 2, r.bottom / 2));
    SendMessageW(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(r.right / 2, r.bottom / 2));
    KillTimer(nullptr, timer);
    probe = nullptr;
    return result;
}

}  // namespace

TEST(SkinButtonMenu, ClickOpensTheMenuAndTheChosenCommandGoesToTheOwner)
{
    TestDialog dialog;
    SkinButton button;
    ASSERT_TRUE(button.SubclassDlgItem(100, dialog.Hwnd()));
    ASSERT_TRUE(button.SetMenu(MENU_ID, dialog.Hwnd()));

    // "f" inside the menu: no item of its own has a mnemonic the system can see, so it
    // asks the button (WM_MENUCHAR), which answers with "&Find".
    const MenuProbe chosen = OpenAndType(button, {'f'});
    EXPECT_TRUE(chosen.sawShowing);
    EXPECT_TRUE(chosen.sawPopupWindow);
    EXPECT_TRUE(chosen.sawPressedLook);
    EXPECT_FALSE(button.IsMenuShowing());
    Pump();
    ASSERT_EQ(dialog.menuCommands.size(), 1u);
    EXPECT_EQ(dialog.menuCommands[0], 302);
    int clicks = 0;
    for (const auto& [id, code] : dialog.notifications)
        clicks += id == 100 && code == BN_CLICKED;
    EXPECT_EQ(clicks, 1);  // the dialog hears the click as well

    // A letter without a shortcut keeps the menu open; Escape closes it with no command.
    const MenuProbe cancelled = OpenAndType(button, {'l', VK_ESCAPE});
    EXPECT_TRUE(cancelled.sawShowing);
    Pump();
    EXPECT_EQ(dialog.menuCommands.size(), 1u);
}

TEST(SkinButtonMenu, MenuMessagesAreAnsweredOnlyForRegisteredMenus)
{
    TestDialog dialog;
    SkinButton button;
    ASSERT_TRUE(button.SubclassDlgItem(100, dialog.Hwnd()));
    ASSERT_TRUE(button.SetMenu(MENU_ID, dialog.Hwnd()));
    const HWND hwnd = button.GetSafeHwnd();
    const HMENU popup = GetSubMenu(button.GetMenu(), 0);

    EXPECT_EQ(SendMessageW(hwnd, WM_MENUCHAR, MAKEWPARAM('F', MF_POPUP), reinterpret_cast<LPARAM>(popup)),
              MAKELRESULT(1, MNC_EXECUTE));

    // Measuring through the button: a popup item by the button's menu, a command
    // item by the menu that holds it.
    SkinMenu* tools = SkinMenu::FromHandle(popup);
    MEASUREITEMSTRUCT more{ODT_MENU, 0, static_cast<UINT>(tools->Items()[5]->nId),
                           0,        0, reinterpret_cast<ULONG_PTR>(tools->Items()[5])};
    EXPECT_EQ(SendMessageW(hwnd, WM_MEASUREITEM, 0, reinterpret_cast<LPARAM>(&more)), TRUE);
    EXPECT_GT(more.itemWidth, 0u);
    MEASUREITEMSTRUCT find{ODT_MENU, 0, 302, 0, 0, reinterpret_cast<ULONG_PTR>(tools->Items()[1])};
    EXPECT_EQ(SendMessageW(hwnd, WM_MEASUREITEM, 0, reinterpret_cast<LPARAM>(&find)), TRUE);
    EXPECT_GT(find.itemHeight, 0u);

    // A menu of someone else's is not the button's business.
    HMENU foreign = CreatePopupMenu();
    AppendMenuW(foreign, MF_STRING, 1, L"&Foreign");
    EXPECT_EQ(SendMessageW(hwnd, WM_MENUCHAR, MAKEWPARAM('F', MF_POPUP), reinterpret_cast<LPARAM>(foreign)), 0);
    DestroyMenu(foreign);

    // Once the menu is destroyed its popups are not recognised any more.
    button.GetMenu().DestroyMenu();
    EXPECT_EQ(SendMessageW(hwnd, WM_MENUCHAR, MAKEWPARAM('F', MF_POPUP), reinterpret_cast<LPARAM>(popup)), 0);
    MEASUREITEMSTRUCT gone{ODT_MENU, 0, 302, 0, 0, 0};
    EXPECT_EQ(SendMessageW(hwnd, WM_MEASUREITEM, 0, reinterpret_cast<LPARAM>(&gone)), FALSE);

    // Without a menu a click does not open anything.
    SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    SendMessageW(hwnd, WM_LBUTTONUP, 0, 0);
    EXPECT_FALSE(button.IsMenuShowing());
}
