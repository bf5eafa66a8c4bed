// The skinned menu's arithmetic and text rules, free of any window system: colour
// lightening, the platform class from the version numbers, the classic-theme test,
// the flags of appended items, the keyboard-shortcut search, accelerator alignment,
// and the sizes of measured items. SkinMenu applies them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace skin {

// A colour 0x00BBGGRR moved toward white: each channel c becomes c + (255 - c) * f,
// truncated, when 0 < f <= 1; any other factor leaves the colour as it is.
std::uint32_t LightenColor(std::uint32_t colour, double factor);

// Platform class 0..7 from the version: non-NT (the Windows 9x line) 0, 2, 3, 4;
// NT 4 is 5, NT 5.0 is 6, NT 5.1 is 7, any other NT version 1. `versionKnown`
// false: the detailed version record was not available.
int OsClassFor(bool isNt, unsigned major, unsigned minor, bool versionKnown = true);
// Derived tests: a shell with the newer menu look, and the themed XP desktop.
inline bool IsNewShell(int osClass)
{
    return osClass >= 2;
}
inline bool IsThemedXp(int osClass, bool classicTheme)
{
    return osClass == 7 && !classicTheme;
}

// Whether the current-theme path names the classic theme: it ends, in any letter
// case, with "Windows Classic.theme".
bool IsClassicThemeName(std::string_view themePath);

// Menu flags used by the rules.
constexpr unsigned MENU_POPUP = 0x10;
constexpr unsigned MENU_END = 0x80;
constexpr unsigned MENU_OWNERDRAW = 0x100;
constexpr unsigned MENU_MENUBREAK = 0x400;    // the break bit this menu's callers pass
constexpr unsigned MENU_COLUMNBREAKS = 0x60;  // the platform's MF_MENUBARBREAK | MF_MENUBREAK
constexpr unsigned MENU_SEPARATOR = 0x800;

// Flags of an appended owner-drawn item: identifier 0 is a separator
// (MF_SEPARATOR | MF_OWNERDRAW, plus the break bit 0x400 when it was given, and the
// platform's column-break bits when given), any other item gets MF_OWNERDRAW added.
unsigned AppendedItemFlags(unsigned flags, std::uintptr_t id);

// Label (before the first TAB) and accelerator (after the last TAB) of an item's text.
std::u16string LabelOf(const std::u16string& text);
std::u16string AcceleratorOf(const std::u16string& text);

// Keyboard shortcut search: the first position whose text, lower-cased, contains "&"
// followed by the lower-cased character; -1 when none does. `lower` lower-cases one
// character (ASCII letters when not given).
int FindShortcutPosition(const std::vector<std::u16string>& texts, char16_t character,
                         const std::function<char16_t(char16_t)>& lower = nullptr);

// Pads the labels so that every accelerator starts at the same place: the widest
// label followed by one space sets the width, and each label that has a TAB after
// it gets spaces until it is at least that wide. `measure` gives a text's width.
void AlignAccelerators(std::vector<std::u16string>& texts, const std::function<int(const std::u16string&)>& measure);

// Gap around images in measured items: 7 in the XP look with raised images, else 4.
inline int MeasureGap(bool xpLook, bool raisedImages)
{
    return (xpLook && raisedImages) ? 7 : 4;
}

struct ItemSize {
    int width = 0, height = 0;
};
// A separator: no width; half the menu bar height or half of image height + gap,
// whichever is larger.
ItemSize SeparatorSize(int menuBarHeight, int iconHeight, int gap);
// Any other item, from its text width: room for the image column and the gaps.
ItemSize ItemSizeFor(int textWidth, bool xpLook, int iconWidth, int iconHeight, int gap, int menuBarHeight);
// The oldest platforms measure with DrawText: the measured width plus 3, then plus
// three average character widths.
int LegacyTextWidth(int measuredWidth, int characters);

// The tick mark: seven vertical strokes of three pixels; stroke i runs from
// (x + i, y + TickStart(i)) downward.
int TickStart(int stroke);

}  // namespace skin
