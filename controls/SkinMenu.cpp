// The skinned menu's model: the process-wide state (the registry of menus, the shared
// image list, the system class), the item records, the life cycle of a menu, and
// measuring its items. Building (items, images, resources) is in SkinMenuBuild.cpp;
// the painters in SkinMenuPaint.cpp (what both looks share), SkinMenuClassic.cpp and
// SkinMenuXp.cpp.
#include "controls/SkinMenu.h"

#include "controls/GdiHelpers.h"
#include "controls/MenuRules.h"
#include "controls/SkinMenuShared.h"

#include <algorithm>
#include <cstddef>
#include <map>

using namespace skin::menu;

namespace {

// ---- process-wide state, made at start-up in this order and released in reverse ----

int ComputeOsClass()
{
    const DWORD version = GetVersion();
    const bool isNt = (version & 0x80000000u) == 0;
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info))
        return skin::OsClassFor(isNt, 0, 0, false);
    return skin::OsClassFor(isNt, info.dwMajorVersion, info.dwMinorVersion);
}

}  // namespace

namespace skin::menu {

SharedImageList sharedImages;
std::vector<UINT> sharedImageOwners;
extern const int osClass = ComputeOsClass();

}  // namespace skin::menu

namespace {

std::vector<HMENU> menuRegistry;

// The SkinMenu attached to each platform menu handle.
std::map<HMENU, SkinMenu*> menuObjects;
HWND mainWindow = nullptr;

void Unregister(HMENU hMenu)
{
    menuRegistry.erase(std::remove(menuRegistry.begin(), menuRegistry.end(), hMenu), menuRegistry.end());
}

}  // namespace

namespace skin::menu {

void RegisterMenu(HMENU hMenu)
{
    if (hMenu != nullptr)
        menuRegistry.push_back(hMenu);
}

std::string ToAnsi(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int size =
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

bool ThemedXp()
{
    return osClass == 7 && skin::IsThemedXp(osClass, SkinMenu::IsClassicTheme() != FALSE);
}

HFONT CreateMenuFont()
{
    // Built for XP's API level, the record is the one Windows XP knows (without the
    // padded-border field of later versions), which every version accepts.
    static_assert(sizeof(NONCLIENTMETRICSW) == offsetof(NONCLIENTMETRICSW, lfMessageFont) + sizeof(LOGFONTW),
                  "the XP record ends with the message font");
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0))
        return nullptr;
    return CreateFontIndirectW(&metrics.lfMenuFont);
}

std::u16string ToU16(const std::wstring& text)
{
    return std::u16string(text.begin(), text.end());
}
std::wstring FromU16(const std::u16string& text)
{
    return std::wstring(text.begin(), text.end());
}

COLORREF Lighten(COLORREF colour, double factor)
{
    return skin::LightenColor(colour, factor);
}

}  // namespace skin::menu

// ---- records and settings ------------------------------------------------------

MenuItemData::~MenuItemData()
{
    if (hOwnImages != nullptr)
        ImageList_Destroy(hOwnImages);
}

SkinMenu::Style& SkinMenu::Settings()
{
    static Style style;
    return style;
}

int SkinMenu::OsClass()
{
    return osClass;
}

void SkinMenu::SetMainWindow(HWND hWnd)
{
    mainWindow = hWnd;
}

BOOL SkinMenu::IsClassicTheme()
{
    static const BOOL classic = [] {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Plus!\\Themes\\Current", 0, KEY_READ, &key) !=
            ERROR_SUCCESS)
            return FALSE;
        char value[261] = {};
        DWORD size = 260;
        DWORD type = 0;
        const LONG status = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
            return FALSE;
        return skin::IsClassicThemeName(value) ? TRUE : FALSE;  // value stays terminated: 261 bytes, 260 read
    }();
    return classic;
}

BOOL SkinMenu::IsMenuRegistered(HMENU hMenu)
{
    return (hMenu != nullptr && std::find(menuRegistry.begin(), menuRegistry.end(), hMenu) != menuRegistry.end())
               ? TRUE
               : FALSE;
}

std::size_t SkinMenu::RegistryCount()
{
    return menuRegistry.size();
}

HIMAGELIST SkinMenu::SharedImages()
{
    return sharedImages.hList;
}

const std::vector<UINT>& SkinMenu::SharedImageOwners()
{
    return sharedImageOwners;
}

// ---- life cycle ----------------------------------------------------------------

SkinMenu::SkinMenu() = default;

SkinMenu::~SkinMenu()
{
    DestroyMenu();
}

bool SkinMenu::Attach(HMENU hMenu)
{
    if (m_hMenu != nullptr || hMenu == nullptr)
        return false;
    m_hMenu = hMenu;
    menuObjects[hMenu] = this;
    return true;
}

HMENU SkinMenu::Detach()
{
    HMENU hMenu = m_hMenu;
    if (hMenu != nullptr) {
        auto it = menuObjects.find(hMenu);
        if (it != menuObjects.end() && it->second == this)
            menuObjects.erase(it);
    }
    m_hMenu = nullptr;
    return hMenu;
}

SkinMenu* SkinMenu::FromHandle(HMENU hMenu)
{
    auto it = menuObjects.find(hMenu);
    return it == menuObjects.end() ? nullptr : it->second;
}

SkinMenu* SkinMenu::OwnerOfRecord(const MenuItemData* record)
{
    for (const auto& [handle, menu] : menuObjects)
        if (std::find(menu->m_items.begin(), menu->m_items.end(), record) != menu->m_items.end())
            return menu;
    return nullptr;
}

void SkinMenu::ReleaseContents()
{
    Unregister(m_hMenu);
    for (HMENU sub : m_subMenus) {
        Unregister(sub);
        SkinMenu* child = FromHandle(sub);
        if (child != nullptr && child->m_bCreatedForParent) {
            // The platform popup goes with this menu's own handle below.
            child->ReleaseContents();
            child->Detach();
            delete child;
        }
    }
    m_subMenus.clear();
    for (MenuItemData* record : m_items)
        delete record;
    m_items.clear();
    if (m_hCheckImages != nullptr && !m_bCheckImagesShared)
        ImageList_Destroy(m_hCheckImages);
    m_hCheckImages = nullptr;
}

BOOL SkinMenu::DestroyMenu()
{
    ReleaseContents();
    m_bLoadedFromResource = FALSE;
    HMENU hMenu = Detach();
    return hMenu != nullptr ? ::DestroyMenu(hMenu) : FALSE;
}

// ---- measuring and drawing -----------------------------------------------------

bool SkinMenu::XpLook(HDC hdc) const
{
    if (hdc != nullptr && (GetDeviceCaps(hdc, RASTERCAPS) & RC_PALETTE))
        return false;
    const Style& style = Settings();
    return (ThemedXp() ? style.xpDrawMode : style.classicDrawMode) == 1;
}

void SkinMenu::MeasureItem(MEASUREITEMSTRUCT& item)
{
    const auto* record = reinterpret_cast<const MenuItemData*>(item.itemData);
    if (record == nullptr)
        return;
    const bool xp = XpLook(nullptr);
    const int gap = skin::MeasureGap(xp, Settings().xp3dImages);
    const int menuBar = GetSystemMetrics(SM_CYMENU);
    skin::ItemSize size;
    if (record->nFlags & MF_SEPARATOR) {
        size = skin::SeparatorSize(menuBar, m_nIconHeight, gap);
    } else {
        const skin::WindowDc windowDc(mainWindow != nullptr ? mainWindow : GetDesktopWindow());
        const HDC dc = windowDc.Get();
        const skin::GdiObject<HFONT> font(skin::IsNewShell(osClass) ? CreateMenuFont() : nullptr);
        const skin::SelectedObject selection(dc, font.Get());
        int textWidth = 0;
        if (osClass == 0) {
            const std::string ansi = ToAnsi(record->text);
            RECT r{};
            ::DrawTextA(dc, ansi.c_str(), -1, &r, DT_CALCRECT | DT_SINGLELINE | DT_VCENTER);
            textWidth = skin::LegacyTextWidth(r.right - r.left, static_cast<int>(record->text.size()));
        } else {
            SIZE extent{0, 0};
            GetTextExtentPoint32W(dc, record->text.c_str(), static_cast<int>(record->text.size()), &extent);
            textWidth = extent.cx;
        }
        size = skin::ItemSizeFor(textWidth, xp, m_nIconWidth, m_nIconHeight, gap, menuBar);
    }
    item.itemWidth = static_cast<UINT>(size.width);
    item.itemHeight = static_cast<UINT>(size.height);
}
