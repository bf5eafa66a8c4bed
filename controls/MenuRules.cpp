#include "controls/MenuRules.h"

#include <algorithm>

namespace skin {

std::uint32_t LightenColor(std::uint32_t colour, double factor)
{
    if (!(factor > 0.0 && factor <= 1.0))
        return colour;
    std::uint32_t result = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        const unsigned c = (colour >> shift) & 0xFF;
        const auto lifted = static_cast<unsigned>(c + (255 - c) * factor);
        result |= std::min(lifted, 255u) << shift;
    }
    return result;
}

int OsClassFor(bool isNt, unsigned major, unsigned minor, bool versionKnown)
{
    if (!isNt) {
        if (!versionKnown)
            return 2;
        if (major < 4)
            return 0;
        if (major != 4)
            return 2;
        if (minor == 10)
            return 3;
        if (minor == 90)
            return 4;
        return 2;
    }
    if (!versionKnown)
        return 1;
    if (major == 4)
        return 5;
    if (major == 5 && minor == 0)
        return 6;
    if (major == 5 && minor == 1)
        return 7;
    return 1;
}

bool IsClassicThemeName(std::string_view themePath)
{
    constexpr std::string_view classic = "windows classic.theme";
    if (themePath.size() < classic.size())
        return false;
    const std::string_view tail = themePath.substr(themePath.size() - classic.size());
    return std::equal(tail.begin(), tail.end(), classic.begin(), [](char a, char b) {
        const char lowered = (a >= 'A' && a <= 'Z') ? static_cast<char>(a - 'A' + 'a') : a;
        return lowered == b;
    });
}

unsigned AppendedItemFlags(unsigned flags, std::uintptr_t id)
{
    if (id != 0)
        return flags | MENU_OWNERDRAW;
    // The column breaks of the platform (MF_MENUBARBREAK 0x20, MF_MENUBREAK 0x40)
    // stay with the separator too, so that a break asked for is a break made.
    return MENU_SEPARATOR | MENU_OWNERDRAW | (flags & (MENU_MENUBREAK | MENU_COLUMNBREAKS));
}

std::u16string LabelOf(const std::u16string& text)
{
    return text.substr(0, text.find(u'\t'));
}

std::u16string AcceleratorOf(const std::u16string& text)
{
    const std::size_t tab = text.rfind(u'\t');
    return tab == std::u16string::npos ? std::u16string() : text.substr(tab + 1);
}

int FindShortcutPosition(const std::vector<std::u16string>& texts, char16_t character,
                         const std::function<char16_t(char16_t)>& lower)
{
    const auto toLower = [&lower](char16_t c) -> char16_t {
        if (lower)
            return lower(c);
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
    };
    const std::u16string key{u'&', toLower(character)};
    for (std::size_t position = 0; position < texts.size(); ++position) {
        std::u16string text = texts[position];
        std::transform(text.begin(), text.end(), text.begin(), toLower);
        if (text.find(key) != std::u16string::npos)
            return static_cast<int>(position);
    }
    return -1;
}

void AlignAccelerators(std::vector<std::u16string>& texts, const std::function<int(const std::u16string&)>& measure)
{
    int widest = 0;
    for (const std::u16string& text : texts)
        widest = std::max(widest, measure(LabelOf(text) + u" "));
    for (std::u16string& text : texts) {
        const std::size_t tab = text.find(u'\t');
        if (tab == std::u16string::npos)
            continue;
        std::u16string label = text.substr(0, tab);
        int width = measure(label);
        while (width < widest) {
            label += u' ';
            const int wider = measure(label);
            if (wider <= width)
                break;  // a space that takes no room would never get there
            width = wider;
        }
        text = label + text.substr(tab);
    }
}

ItemSize SeparatorSize(int menuBarHeight, int iconHeight, int gap)
{
    return {0, std::max(menuBarHeight / 2, (iconHeight + gap) / 2)};
}

ItemSize ItemSizeFor(int textWidth, bool xpLook, int iconWidth, int iconHeight, int gap, int menuBarHeight)
{
    const int extra = xpLook ? iconWidth + gap + 8 : 2 * iconWidth + 1;
    return {textWidth + extra, std::max(menuBarHeight, iconHeight + gap)};
}

int LegacyTextWidth(int measuredWidth, int characters)
{
    const int width = measuredWidth + 3;
    return characters > 0 ? width + 3 * (width / characters) : width;
}

int TickStart(int stroke)
{
    static constexpr int starts[7] = {2, 3, 4, 3, 2, 1, 0};
    return (stroke >= 0 && stroke < 7) ? starts[stroke] : 0;
}

}  // namespace skin
