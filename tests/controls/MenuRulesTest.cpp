#include "controls/MenuRules.h"

#include <gtest/gtest.h>

using namespace skin;

TEST(MenuRules, LightenColorMovesEachChannelTowardWhite)
{
    EXPECT_EQ(LightenColor(0x000000, 0.0), 0x000000u);  // outside (0, 1]: unchanged
    EXPECT_EQ(LightenColor(0x123456, 1.5), 0x123456u);
    EXPECT_EQ(LightenColor(0x123456, -0.2), 0x123456u);
    EXPECT_EQ(LightenColor(0x000000, 1.0), 0xFFFFFFu);
    EXPECT_EQ(LightenColor(0x123456, 1.0), 0xFFFFFFu);
    EXPECT_EQ(LightenColor(0x000000, 0.5), 0x7F7F7Fu);  // 127.5 truncated
    // Channels apart: red 0 -> 63, green 100 -> 138, blue 200 -> 213.
    EXPECT_EQ(LightenColor(0xC86400, 0.25), 0xD58A3Fu);
    EXPECT_EQ(LightenColor(0xFFFFFF, 0.85), 0xFFFFFFu);
}

TEST(MenuRules, PlatformClassFromTheVersionNumbers)
{
    // The Windows 9x line.
    EXPECT_EQ(OsClassFor(false, 3, 95), 0);
    EXPECT_EQ(OsClassFor(false, 4, 0), 2);
    EXPECT_EQ(OsClassFor(false, 4, 10), 3);
    EXPECT_EQ(OsClassFor(false, 4, 90), 4);
    EXPECT_EQ(OsClassFor(false, 5, 0), 2);
    EXPECT_EQ(OsClassFor(false, 0, 0, false), 2);
    // NT.
    EXPECT_EQ(OsClassFor(true, 4, 0), 5);
    EXPECT_EQ(OsClassFor(true, 5, 0), 6);
    EXPECT_EQ(OsClassFor(true, 5, 1), 7);
    EXPECT_EQ(OsClassFor(true, 5, 2), 1);
    EXPECT_EQ(OsClassFor(true, 6, 0), 1);
    EXPECT_EQ(OsClassFor(true, 10, 0), 1);
    EXPECT_EQ(OsClassFor(true, 0, 0, false), 1);

    // NT 6.0 and later: no new-shell look, never the themed XP desktop.
    EXPECT_FALSE(IsNewShell(1));
    EXPECT_FALSE(IsThemedXp(1, false));
    EXPECT_TRUE(IsNewShell(2));
    EXPECT_TRUE(IsNewShell(7));
    EXPECT_TRUE(IsThemedXp(7, false));
    EXPECT_FALSE(IsThemedXp(7, true));
}

TEST(MenuRules, ClassicThemeIsRecognisedByItsFileNameInAnyCase)
{
    EXPECT_TRUE(IsClassicThemeName("C:\\WINDOWS\\Resources\\Themes\\Windows Classic.theme"));
    EXPECT_TRUE(IsClassicThemeName("c:\\windows\\resources\\themes\\WINDOWS CLASSIC.THEME"));
    EXPECT_TRUE(IsClassicThemeName("wINDOWS cLASSIC.tHEME"));  // exactly 21 characters
    EXPECT_FALSE(IsClassicThemeName("Classic.theme"));         // shorter than 21
    EXPECT_FALSE(IsClassicThemeName(""));
    EXPECT_FALSE(IsClassicThemeName("C:\\WINDOWS\\Resources\\Themes\\Luna.theme"));
    EXPECT_FALSE(IsClassicThemeName("Windows Classic.theme.bak"));
}

TEST(MenuRules, AppendedItemsAreOwnerDrawnAndIdentifierZeroIsASeparator)
{
    EXPECT_EQ(AppendedItemFlags(0x000, 0), 0x900u);
    EXPECT_EQ(AppendedItemFlags(0x400, 0), 0xD00u);       // MF_MENUBREAK kept
    EXPECT_EQ(AppendedItemFlags(0x401, 0), 0xD00u);       // other flags of a separator dropped
    EXPECT_EQ(AppendedItemFlags(0x040, 0), 0x940u);       // the platform's own MF_MENUBREAK breaks too
    EXPECT_EQ(AppendedItemFlags(0x020, 0), 0x920u);       // and its MF_MENUBARBREAK
    EXPECT_EQ(AppendedItemFlags(0x001, 5), 0x101u);       // grayed command
    EXPECT_EQ(AppendedItemFlags(0x010, 0x1234), 0x110u);  // popup
    EXPECT_EQ(AppendedItemFlags(0x908, 7), 0x908u);
}

TEST(MenuRules, LabelAndAcceleratorSplitAtTheFirstAndLastTab)
{
    EXPECT_EQ(LabelOf(u"&Open\tCtrl+O"), u"&Open");
    EXPECT_EQ(AcceleratorOf(u"&Open\tCtrl+O"), u"Ctrl+O");
    EXPECT_EQ(LabelOf(u"A\tB\tC"), u"A");
    EXPECT_EQ(AcceleratorOf(u"A\tB\tC"), u"C");
    EXPECT_EQ(LabelOf(u"Plain"), u"Plain");
    EXPECT_EQ(AcceleratorOf(u"Plain"), u"");
}

TEST(MenuRules, ShortcutNeedsTheAmpersandRightBeforeTheLetter)
{
    const std::vector<std::u16string> items{u"&Open\tCtrl+O", u"&Find\tCtrl+F", u"Last f item"};
    EXPECT_EQ(FindShortcutPosition(items, u'F'), 1);
    EXPECT_EQ(FindShortcutPosition(items, u'f'), 1);
    EXPECT_EQ(FindShortcutPosition(items, u'o'), 0);
    EXPECT_EQ(FindShortcutPosition(items, u'l'), -1);  // "Last" has no ampersand
    EXPECT_EQ(FindShortcutPosition(items, u'x'), -1);
    EXPECT_EQ(FindShortcutPosition({u"F&x", u"a&f"}, u'F'), 1);
    EXPECT_EQ(FindShortcutPosition({u"&Fetch", u"&Find"}, u'f'), 0);  // first match wins
    EXPECT_EQ(FindShortcutPosition({}, u'f'), -1);
    // A lower-casing function of the caller's (here: a capital A-with-ring to its small letter).
    const auto lower = [](char16_t c) -> char16_t { return c == u'\u00C5' ? u'\u00E5' : c; };
    EXPECT_EQ(FindShortcutPosition({u"x", u"&\u00C5ngstr\u00F6m"}, u'\u00C5', lower), 1);
}

TEST(MenuRules, AcceleratorsLineUpBehindTheWidestLabel)
{
    const auto tenPerCharacter = [](const std::u16string& text) { return static_cast<int>(text.size()) * 10; };
    std::vector<std::u16string> texts{u"&Open\tCtrl+O", u"Refresh\tF5", u"Exit"};
    AlignAccelerators(texts, tenPerCharacter);
    // Widest: "Refresh" + one space = 80 pixels.
    EXPECT_EQ(texts[0], u"&Open   \tCtrl+O");
    EXPECT_EQ(texts[1], u"Refresh \tF5");
    EXPECT_EQ(texts[2], u"Exit");  // no accelerator: untouched

    // A label without accelerator can set the width too.
    std::vector<std::u16string> wide{u"A\tX", u"Much longer label"};
    AlignAccelerators(wide, tenPerCharacter);
    EXPECT_EQ(wide[0].find(u'\t'), 18u);

    // Spaces that take no room: no endless padding.
    const auto spacesAreFree = [](const std::u16string& text) {
        int width = 0;
        for (char16_t c : text)
            width += c == u' ' ? 0 : 10;
        return width;
    };
    std::vector<std::u16string> odd{u"A\tX", u"Longer"};
    AlignAccelerators(odd, spacesAreFree);
    EXPECT_EQ(odd[0], u"A \tX");
}

TEST(MenuRules, SeparatorAndItemSizes)
{
    // XP look with raised images: gap 7; a 15-pixel image makes an 11-pixel separator
    // unless half the menu bar is larger.
    EXPECT_EQ(MeasureGap(true, true), 7);
    EXPECT_EQ(MeasureGap(true, false), 4);
    EXPECT_EQ(MeasureGap(false, true), 4);
    EXPECT_EQ(SeparatorSize(19, 15, 7).height, 11);
    EXPECT_EQ(SeparatorSize(19, 15, 7).width, 0);
    EXPECT_EQ(SeparatorSize(30, 15, 7).height, 15);
    EXPECT_EQ(SeparatorSize(19, 15, 4).height, 9);

    const ItemSize classic = ItemSizeFor(50, false, 16, 15, 4, 19);
    EXPECT_EQ(classic.width, 50 + 33);
    EXPECT_EQ(classic.height, 19);
    const ItemSize xp = ItemSizeFor(50, true, 16, 15, 7, 19);
    EXPECT_EQ(xp.width, 50 + 31);
    EXPECT_EQ(xp.height, 22);
    EXPECT_EQ(ItemSizeFor(50, true, 16, 15, 7, 30).height, 30);

    EXPECT_EQ(LegacyTextWidth(37, 10), 40 + 12);
    EXPECT_EQ(LegacyTextWidth(0, 0), 3);  // an empty text divides by nothing
}
