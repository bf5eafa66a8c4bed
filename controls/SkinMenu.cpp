#include "controls/SkinMenu.h"

#include "controls/GdiHelpers.h"
#include "controls/MenuRules.h"

#include <algorithm>
#include <cstddef>
#include <map>

namespace {

// ---- process-wide state, made at start-up in this order and released in reverse ----

struct SharedImageList {
    HIMAGELIST hList = nullptr;
    ~SharedImageList()
    {
        if (hList != nullptr)
            ImageList_Destroy(hList);
    }
};
SharedImageList sharedImages;
std::vector<UINT> sharedImageOwners;

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
const int osClass = ComputeOsClass();

std::vector<HMENU> menuRegistry;

// The SkinMenu attached to each platform menu handle.
std::map<HMENU, SkinMenu*> menuObjects;
HWND mainWindow = nullptr;

const LPCWSTR RESOURCE_TOOLBAR = MAKEINTRESOURCEW(241);
const LPCWSTR RESOURCE_MENU = MAKEINTRESOURCEW(4);

void Register(HMENU hMenu)
{
    if (hMenu != nullptr)
        menuRegistry.push_back(hMenu);
}

void Unregister(HMENU hMenu)
{
    menuRegistry.erase(std::remove(menuRegistry.begin(), menuRegistry.end(), hMenu), menuRegistry.end());
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

std::string ToAnsi(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::u16string ToU16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }
std::wstring FromU16(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

COLORREF Lighten(COLORREF colour, double factor) { return skin::LightenColor(colour, factor); }

void DrawTick(HDC hdc, int x, int y, COLORREF colour)
{
    HPEN pen = CreatePen(PS_SOLID, 1, colour);
    HGDIOBJ old = SelectObject(hdc, pen);
    for (int i = 0; i < 7; ++i) {
        MoveToEx(hdc, x + i, y + skin::TickStart(i), nullptr);
        LineTo(hdc, x + i, y + skin::TickStart(i) + 3);
    }
    SelectObject(hdc, old);
    DeleteObject(pen);
}

void DrawRadioDot(HDC hdc, int x, int y, COLORREF colour)
{
    HPEN pen = CreatePen(PS_SOLID, 1, colour);
    HBRUSH brush = CreateSolidBrush(colour);
    HGDIOBJ oldPen = SelectObject(hdc, pen);
    HGDIOBJ oldBrush = SelectObject(hdc, brush);
    Ellipse(hdc, x, y, x + 6, y + 6);
    SelectObject(hdc, oldPen);
    SelectObject(hdc, oldBrush);
    DeleteObject(pen);
    DeleteObject(brush);
}

// Renders image `index` of `list` on the button-face colour into `buffer`.
void RenderOnFace(HIMAGELIST list, int index, skin::PixelBuffer& buffer, int width, int height)
{
    buffer.Fill(GetSysColor(COLOR_BTNFACE));
    HICON icon = ImageList_GetIcon(list, index, ILD_NORMAL);
    if (icon != nullptr) {
        DrawIconEx(buffer.Dc(), 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
        DestroyIcon(icon);
    }
    GdiFlush();
}

// The faded (kind 0) or shadow (kind 1) copy of an image, as an icon: every pixel
// that is not the button face is lightened by 0.3, or becomes the shadow colour.
HICON MakeDerivedIcon(HIMAGELIST list, int index, int width, int height, int kind)
{
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    COLORREF shadow = GetSysColor(COLOR_BTNSHADOW);
    if (!ThemedXp())
        shadow = Lighten(shadow, 0.49);
    skin::PixelBuffer buffer(nullptr, width, height);
    if (!buffer.Ok())
        return nullptr;
    RenderOnFace(list, index, buffer, width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const COLORREF p = buffer.Get(x, y);
            if (p != face)
                buffer.Set(x, y, kind == 0 ? Lighten(p, 0.3) : shadow);
        }
    HIMAGELIST scratch = ImageList_Create(width, height, ILC_COLORDDB | ILC_MASK, 1, 1);
    HBITMAP copy = static_cast<HBITMAP>(CopyImage(buffer.Bitmap(), IMAGE_BITMAP, 0, 0, 0));
    ImageList_AddMasked(scratch, copy, face);
    DeleteObject(copy);
    HICON icon = ImageList_GetIcon(scratch, 0, ILD_NORMAL);
    ImageList_Destroy(scratch);
    return icon;
}

struct ImageRef {
    HIMAGELIST list = nullptr;
    int index = -1;
    bool checkImage = false;
};

} // namespace

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

int SkinMenu::OsClass() { return osClass; }

void SkinMenu::SetMainWindow(HWND hWnd) { mainWindow = hWnd; }

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
        return skin::IsClassicThemeName(value) ? TRUE : FALSE; // value stays terminated: 261 bytes, 260 read
    }();
    return classic;
}

BOOL SkinMenu::IsMenuRegistered(HMENU hMenu)
{
    return (hMenu != nullptr && std::find(menuRegistry.begin(), menuRegistry.end(), hMenu) != menuRegistry.end())
               ? TRUE
               : FALSE;
}

std::size_t SkinMenu::RegistryCount() { return menuRegistry.size(); }

HIMAGELIST SkinMenu::SharedImages() { return sharedImages.hList; }

const std::vector<UINT>& SkinMenu::SharedImageOwners() { return sharedImageOwners; }

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

// ---- building ------------------------------------------------------------------

MenuItemData* SkinMenu::NewRecord(const std::wstring& text, UINT flags, UINT_PTR id)
{
    auto* record = new MenuItemData;
    record->text = text;
    record->nFlags = flags;
    record->nId = id;
    return record;
}

BOOL SkinMenu::AppendOwnerDrawnItem(const wchar_t* text, UINT flags, UINT_PTR id, int imageResource)
{
    if (m_hMenu == nullptr)
        return FALSE;
    flags = skin::AppendedItemFlags(flags, id);
    if (flags & MF_POPUP) {
        Register(reinterpret_cast<HMENU>(id));
        m_subMenus.push_back(reinterpret_cast<HMENU>(id));
    }
    MenuItemData* record = NewRecord(text != nullptr ? text : L"", 0, 0);
    m_items.push_back(record);
    if (imageResource == -1) {
        const auto owner = std::find(sharedImageOwners.begin(), sharedImageOwners.end(), static_cast<UINT>(id));
        if (owner != sharedImageOwners.end())
            record->nSharedImageIndex = static_cast<int>(owner - sharedImageOwners.begin());
    } else {
        record->nSharedImageIndex = LoadToolbarImage(imageResource, static_cast<UINT>(id));
    }
    record->nFlags = flags;
    record->nId = id;
    const BOOL result = AppendMenuW(m_hMenu, flags, id, reinterpret_cast<LPCWSTR>(record));
    if (m_bLoadedFromResource)
        FixTopLevel();
    return result;
}

void SkinMenu::SetIconSize(int width, int height)
{
    if (width > 0 && height > 0) {
        m_nIconWidth = width;
        m_nIconHeight = height;
    }
}

void SkinMenu::SetImageMaskColor(COLORREF colour, bool use)
{
    m_crImageMask = colour;
    m_bUseImageMaskColor = use ? TRUE : FALSE;
}

BOOL SkinMenu::SetCheckImages(int checkedBitmapId, int uncheckedBitmapId)
{
    if (m_hCheckImages != nullptr && !m_bCheckImagesShared)
        ImageList_Destroy(m_hCheckImages);
    m_hCheckImages = ImageList_Create(m_nIconWidth, m_nIconHeight, ILC_COLORDDB | ILC_MASK, 2, 1);
    m_bCheckImagesShared = FALSE;
    m_nCheckedImageId = checkedBitmapId;
    m_nUncheckedImageId = uncheckedBitmapId;
    const COLORREF mask = m_bUseImageMaskColor ? m_crImageMask : GetSysColor(COLOR_BTNFACE);
    // Image 0 is the unselected mark, image 1 the selected one; a missing one
    // repeats the other, so that both indexes draw something.
    const int ids[2] = {uncheckedBitmapId > 0 ? uncheckedBitmapId : checkedBitmapId,
                        checkedBitmapId > 0 ? checkedBitmapId : uncheckedBitmapId};
    BOOL loaded = TRUE;
    for (int id : ids) {
        HBITMAP bitmap = id > 0 ? static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id),
                                                                  IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS))
                                : nullptr;
        if (bitmap == nullptr) {
            loaded = FALSE;
            continue;
        }
        ImageList_AddMasked(m_hCheckImages, bitmap, mask);
        DeleteObject(bitmap);
    }
    return loaded;
}

int SkinMenu::LoadToolbarImage(int resource, UINT id)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    if (m_bImagesAreIcons) {
        HICON icon = static_cast<HICON>(
            LoadImageW(instance, MAKEINTRESOURCEW(resource), IMAGE_ICON, m_nIconWidth, m_nIconHeight, 0));
        if (icon == nullptr)
            return -1;
        HIMAGELIST single = ImageList_Create(m_nIconWidth, m_nIconHeight, ILC_COLORDDB | ILC_MASK, 1, 1);
        ImageList_ReplaceIcon(single, -1, icon);
        DestroyIcon(icon);
        const int index = AddSharedImage(id, single, 0);
        ImageList_Destroy(single);
        return index;
    }
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(resource), RESOURCE_TOOLBAR);
    if (found == nullptr)
        return -1;
    const auto* words = static_cast<const WORD*>(LockResource(LoadResource(instance, found)));
    const DWORD size = SizeofResource(instance, found);
    if (words == nullptr || size < 8)
        return -1;
    // version, button width, button height, count, then the command of each button
    // (0 for a separator, which has no image).
    const WORD count = std::min<WORD>(words[3], static_cast<WORD>((size - 8) / 2));
    int position = -1, images = 0;
    for (WORD i = 0; i < count; ++i) {
        const WORD command = words[4 + i];
        if (command == 0)
            continue;
        if (command == id) {
            position = images;
            break;
        }
        ++images;
    }
    if (position < 0)
        return -1;

    // A 16-colour strip gets its greys mapped to the system's 3-D colours.
    UINT load = LR_DEFAULTCOLOR;
    if (HRSRC bits = FindResourceW(instance, MAKEINTRESOURCEW(resource), MAKEINTRESOURCEW(2) /*RT_BITMAP*/)) {
        const auto* header = static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(instance, bits)));
        if (header != nullptr && header->biBitCount <= 4)
            load |= LR_LOADMAP3DCOLORS;
    }
    HBITMAP strip = static_cast<HBITMAP>(LoadImageW(instance, MAKEINTRESOURCEW(resource), IMAGE_BITMAP, 0, 0, load));
    if (strip == nullptr)
        return -1;
    HIMAGELIST scratch = ImageList_Create(m_nIconWidth, m_nIconHeight, ILC_COLORDDB | ILC_MASK, 1, 1);
    ImageList_AddMasked(scratch, strip, m_bUseImageMaskColor ? m_crImageMask : GetSysColor(COLOR_BTNFACE));
    DeleteObject(strip);
    const int index = AddSharedImage(id, scratch, position);
    ImageList_Destroy(scratch);
    return index;
}

int SkinMenu::AddSharedImage(UINT id, HIMAGELIST scratch, int position)
{
    if (position >= ImageList_GetImageCount(scratch))
        return -1;
    if (sharedImages.hList == nullptr)
        sharedImages.hList = ImageList_Create(m_nIconWidth, m_nIconHeight, ILC_COLORDDB | ILC_MASK, 1, 1);
    const bool derived = XpLook(nullptr) && Settings().xp3dImages;
    HICON image = ImageList_GetIcon(scratch, position, ILD_NORMAL);
    HICON faded = derived ? MakeDerivedIcon(scratch, position, m_nIconWidth, m_nIconHeight, 0) : nullptr;
    HICON shadow = derived ? MakeDerivedIcon(scratch, position, m_nIconWidth, m_nIconHeight, 1) : nullptr;

    int index;
    const auto owner = std::find(sharedImageOwners.begin(), sharedImageOwners.end(), id);
    if (owner != sharedImageOwners.end()) {
        index = static_cast<int>(owner - sharedImageOwners.begin());
        ImageList_ReplaceIcon(sharedImages.hList, index, image);
        const std::size_t next = static_cast<std::size_t>(index) + 1;
        if (derived && next + 1 < sharedImageOwners.size() && sharedImageOwners[next] == id &&
            sharedImageOwners[next + 1] == id) {
            ImageList_ReplaceIcon(sharedImages.hList, index + 1, faded);
            ImageList_ReplaceIcon(sharedImages.hList, index + 2, shadow);
        }
    } else {
        index = ImageList_ReplaceIcon(sharedImages.hList, -1, image);
        sharedImageOwners.push_back(id);
        if (derived) {
            ImageList_ReplaceIcon(sharedImages.hList, -1, faded);
            sharedImageOwners.push_back(id);
            ImageList_ReplaceIcon(sharedImages.hList, -1, shadow);
            sharedImageOwners.push_back(id);
        }
    }
    for (HICON icon : {image, faded, shadow})
        if (icon != nullptr)
            DestroyIcon(icon);
    return index;
}

BOOL SkinMenu::LoadFromResource(UINT id)
{
    return LoadTemplate(FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(LOWORD(id)), RESOURCE_MENU));
}

BOOL SkinMenu::LoadFromResource(const wchar_t* name)
{
    return LoadTemplate(name != nullptr ? FindResourceW(GetModuleHandleW(nullptr), name, RESOURCE_MENU) : nullptr);
}

BOOL SkinMenu::LoadTemplate(HRSRC resource)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    if (resource == nullptr)
        return FALSE;
    const auto* base = static_cast<const BYTE*>(LockResource(LoadResource(instance, resource)));
    const DWORD size = SizeofResource(instance, resource);
    if (base == nullptr || size < 4)
        return FALSE;
    DestroyMenu();
    HMENU bar = CreateMenu();
    if (bar == nullptr)
        return FALSE;
    Attach(bar);

    // Header: version, offset of the first item after the header. Items: flags,
    // command (not for popups), zero-terminated UTF-16 text; MF_END closes a level.
    const BYTE* end = base + size;
    const BYTE* at = base + 4 + reinterpret_cast<const WORD*>(base)[1];
    auto readWord = [&at, end](WORD& value) {
        if (at + 2 > end)
            return false;
        value = static_cast<WORD>(at[0] | (at[1] << 8));
        at += 2;
        return true;
    };
    std::vector<SkinMenu*> menus{this};
    std::vector<bool> levelEnds{false}; // whether the item that opened each level ended its parent's
    while (!menus.empty()) {
        WORD flags = 0, command = 0;
        if (!readWord(flags))
            break;
        if (!(flags & MF_POPUP) && !readWord(command))
            break;
        std::wstring text;
        for (WORD c = 0; readWord(c) && c != 0;)
            text.push_back(static_cast<wchar_t>(c));
        SkinMenu* current = menus.back();
        const UINT itemFlags = flags & ~MF_END;
        if (flags & MF_POPUP) {
            auto* child = new SkinMenu;
            child->m_bCreatedForParent = true;
            child->m_nCheckedImageId = current->m_nCheckedImageId;
            child->m_nUncheckedImageId = current->m_nUncheckedImageId;
            child->m_hCheckImages = current->m_hCheckImages;
            child->m_bCheckImagesShared = TRUE;
            child->Attach(CreatePopupMenu());
            current->AppendOwnerDrawnItem(text.c_str(), itemFlags, reinterpret_cast<UINT_PTR>(child->m_hMenu), -1);
            menus.push_back(child);
            levelEnds.push_back((flags & MF_END) != 0);
        } else {
            current->AppendOwnerDrawnItem(text.c_str(), itemFlags, command, -1);
            // The level is complete, and with it every level whose last item opened it.
            for (bool closing = (flags & MF_END) != 0; closing && !menus.empty();) {
                menus.back()->AlignAccelerators();
                closing = levelEnds.back();
                menus.pop_back();
                levelEnds.pop_back();
            }
        }
    }

    // The bar itself is not owner-drawn: its items become plain text again.
    for (std::size_t position = 0; position < m_items.size(); ++position) {
        const MenuItemData& record = *m_items[position];
        UINT flags = MF_BYPOSITION | MF_STRING;
        if (record.nFlags & MF_POPUP)
            flags |= MF_POPUP;
        else if (record.nFlags & MF_SEPARATOR)
            flags = MF_BYPOSITION | MF_SEPARATOR;
        ModifyMenuW(m_hMenu, static_cast<UINT>(position), flags, record.nId, record.text.c_str());
    }
    m_bLoadedFromResource = TRUE;
    return TRUE;
}

void SkinMenu::AlignAccelerators()
{
    std::vector<std::u16string> texts;
    for (const MenuItemData* record : m_items)
        texts.push_back(ToU16(record->text));
    HDC dc = GetDC(nullptr);
    HFONT font = CreateMenuFont();
    HGDIOBJ old = font != nullptr ? SelectObject(dc, font) : nullptr;
    skin::AlignAccelerators(texts, [dc](const std::u16string& text) {
        const std::wstring wide = FromU16(text);
        SIZE size{0, 0};
        GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
        return static_cast<int>(size.cx);
    });
    if (old != nullptr)
        SelectObject(dc, old);
    if (font != nullptr)
        DeleteObject(font);
    ReleaseDC(nullptr, dc);
    for (std::size_t i = 0; i < m_items.size(); ++i)
        m_items[i]->text = FromU16(texts[i]);
}

void SkinMenu::FixTopLevel()
{
    // Position p of the bar holds record p + offset: found from the first item whose
    // string equals a record's text.
    const int count = GetMenuItemCount(m_hMenu);
    int offset = 0;
    bool found = false;
    for (int position = 0; position < count && !found; ++position) {
        wchar_t text[256] = {};
        GetMenuStringW(m_hMenu, static_cast<UINT>(position), text, 256, MF_BYPOSITION);
        for (std::size_t i = 0; i < m_items.size(); ++i)
            if (m_items[i]->text == text) {
                offset = static_cast<int>(i) - position;
                found = true;
                break;
            }
    }
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        const MenuItemData& record = *m_items[i];
        const int position = static_cast<int>(i) - offset;
        if ((record.nFlags & MF_POPUP) && position >= 0 && position < count)
            ModifyMenuW(m_hMenu, static_cast<UINT>(position), MF_BYPOSITION | MF_POPUP | MF_STRING, record.nId,
                        record.text.c_str());
    }
}

void SkinMenu::SyncItemData()
{
    if (m_hMenu == nullptr)
        return;
    for (MenuItemData* record : m_items)
        record->nSyncMark = 0;
    std::vector<MenuItemData*> matched;
    const int count = GetMenuItemCount(m_hMenu);
    for (int position = 0; position < count; ++position) {
        const UINT pos = static_cast<UINT>(position);
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_SUBMENU;
        if (!GetMenuItemInfoW(m_hMenu, pos, TRUE, &info))
            continue;
        const bool separator = info.hSubMenu == nullptr && (info.fType & MFT_SEPARATOR);
        const UINT_PTR key = info.hSubMenu != nullptr ? reinterpret_cast<UINT_PTR>(info.hSubMenu)
                             : separator              ? 0
                                                      : info.wID;
        MenuItemData* record = nullptr;
        for (MenuItemData* candidate : m_items)
            if (candidate->nSyncMark == 0 && candidate->nId == key) {
                record = candidate;
                break;
            }
        // The item's own text, when it has one (an owner-drawn item keeps it in its record).
        const bool ownerDrawn = (info.fType & MFT_OWNERDRAW) != 0;
        wchar_t text[256] = {};
        if (!ownerDrawn && !separator)
            GetMenuStringW(m_hMenu, pos, text, 256, MF_BYPOSITION);
        if (record == nullptr)
            record = NewRecord(text, 0, key);
        else if (!ownerDrawn)
            record->text = text;
        record->nSyncMark = 1;
        UINT flags = (info.fType & (MFT_MENUBARBREAK | MFT_MENUBREAK | MFT_RADIOCHECK)) |
                     (info.fState & (MF_GRAYED | MF_DISABLED | MF_CHECKED)) | MF_OWNERDRAW;
        if (info.hSubMenu != nullptr)
            flags |= MF_POPUP;
        if (separator)
            flags |= MF_SEPARATOR;
        record->nFlags = flags;
        record->nId = key;
        ModifyMenuW(m_hMenu, pos, MF_BYPOSITION | flags, key, reinterpret_cast<LPCWSTR>(record));
        matched.push_back(record);
    }
    for (MenuItemData* record : m_items)
        if (record->nSyncMark == 0)
            delete record;
    m_items = std::move(matched);
}

BOOL SkinMenu::GetMenuText(UINT item, std::string& text, UINT flags)
{
    if (flags & MF_BYPOSITION) {
        if (item >= m_items.size())
            return FALSE;
        text = ToAnsi(m_items[item]->text);
        return TRUE;
    }
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        const MenuItemData& record = *m_items[i];
        if (record.nFlags & MF_POPUP) {
            SkinMenu* child = FromHandle(reinterpret_cast<HMENU>(record.nId));
            if (child != nullptr && child->GetMenuText(item, text, flags))
                return TRUE;
        } else if (!(record.nFlags & MF_SEPARATOR) && record.nId == item) {
            return GetMenuText(static_cast<UINT>(i), text, MF_BYPOSITION);
        }
    }
    return FALSE;
}

LRESULT SkinMenu::FindShortcut(UINT character, UINT menuFlags, HMENU hMenu)
{
    if (hMenu == nullptr || !(menuFlags & MF_POPUP))
        return 0;
    SkinMenu* menu = FromHandle(hMenu);
    if (menu == nullptr)
        return 0;
    if (GetMenuItemCount(hMenu) != static_cast<int>(menu->m_items.size()))
        menu->SyncItemData();
    std::vector<std::u16string> texts;
    for (const MenuItemData* record : menu->m_items)
        texts.push_back(ToU16(record->text));
    const int position = skin::FindShortcutPosition(texts, static_cast<char16_t>(character), [](char16_t c) {
        return static_cast<char16_t>(reinterpret_cast<UINT_PTR>(CharLowerW(reinterpret_cast<LPWSTR>(c))));
    });
    return position < 0 ? 0 : MAKELRESULT(position, MNC_EXECUTE);
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
        const HWND window = mainWindow != nullptr ? mainWindow : GetDesktopWindow();
        HDC dc = GetDC(window);
        HFONT font = skin::IsNewShell(osClass) ? CreateMenuFont() : nullptr;
        HGDIOBJ old = font != nullptr ? SelectObject(dc, font) : nullptr;
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
        if (old != nullptr)
            SelectObject(dc, old);
        if (font != nullptr)
            DeleteObject(font);
        ReleaseDC(window, dc);
        size = skin::ItemSizeFor(textWidth, xp, m_nIconWidth, m_nIconHeight, gap, menuBar);
    }
    item.itemWidth = static_cast<UINT>(size.width);
    item.itemHeight = static_cast<UINT>(size.height);
}

void SkinMenu::DrawItem(const DRAWITEMSTRUCT& item)
{
    auto* record = reinterpret_cast<MenuItemData*>(item.itemData);
    if (record == nullptr || item.hDC == nullptr)
        return;
    if (XpLook(item.hDC))
        DrawXp(item, *record);
    else
        DrawClassic(item, *record);
}

bool SkinMenu::HasRadioMark(UINT id) const
{
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_CHECKMARKS;
    return GetMenuItemInfoW(m_hMenu, id, FALSE, &info) && info.hbmpChecked != nullptr;
}

void SkinMenu::DrawText(HDC hdc, const RECT& item, int textLeft, const std::wstring& text, COLORREF colour) const
{
    const std::u16string whole = ToU16(text);
    const std::wstring label = FromU16(skin::LabelOf(whole));
    const std::wstring accelerator = FromU16(skin::AcceleratorOf(whole));
    RECT r{textLeft, item.top - 1, item.right, item.bottom - 1};
    if (!accelerator.empty())
        r.right -= m_nIconWidth;
    const int oldMode = SetBkMode(hdc, TRANSPARENT);
    SetTextColor(hdc, colour);
    ::DrawTextW(hdc, label.c_str(), -1, &r, DT_VCENTER | DT_SINGLELINE);
    if (!accelerator.empty())
        ::DrawTextW(hdc, accelerator.c_str(), -1, &r, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
    SetBkMode(hdc, oldMode);
}

void SkinMenu::DrawEmbossed(HDC hdc, HIMAGELIST list, int index, int x, int y, COLORREF background) const
{
    // The image on the button face; its marked pixels go down in the highlight colour
    // one pixel right and down, then in the shadow colour in place, on the background.
    const int w = m_nIconWidth, h = m_nIconHeight;
    skin::PixelBuffer image(hdc, w, h);
    if (!image.Ok())
        return;
    RenderOnFace(list, index, image, w, h);
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const COLORREF light = GetSysColor(COLOR_BTNHIGHLIGHT);
    std::vector<bool> marked(static_cast<std::size_t>(w * h));
    for (int py = 0; py < h; ++py)
        for (int px = 0; px < w; ++px) {
            const COLORREF p = image.Get(px, py);
            bool mark;
            if (m_bOldStyleDisabledImages) // the dark pixels of a black-and-white copy
                mark = (GetRValue(p) * 30 + GetGValue(p) * 59 + GetBValue(p) * 11) / 100 < 128;
            else
                mark = p != face && p != light;
            marked[static_cast<std::size_t>(py * w + px)] = mark;
        }
    // One buffer a pixel larger each way: background, the highlight copy, then the
    // shadow copy over it, each only where the image has a pixel.
    skin::PixelBuffer work(hdc, w + 1, h + 1);
    if (!work.Ok())
        return;
    work.Fill(background);
    const COLORREF colours[2] = {light, GetSysColor(COLOR_BTNSHADOW)};
    const int offsets[2] = {1, 0};
    for (int pass = 0; pass < 2; ++pass)
        for (int py = 0; py < h; ++py)
            for (int px = 0; px < w; ++px)
                if (marked[static_cast<std::size_t>(py * w + px)])
                    work.Set(px + offsets[pass], py + offsets[pass], colours[pass]);
    BitBlt(hdc, x, y, w + 1, h + 1, work.Dc(), 0, 0, SRCCOPY);
}

namespace {

ImageRef ImageFor(const MenuItemData& record, HIMAGELIST checkImages, int checkedImageId, int uncheckedImageId,
                  bool selected, bool checked)
{
    ImageRef ref;
    if (record.nOwnImage >= 0 && record.hOwnImages != nullptr) {
        ref.list = record.hOwnImages;
        ref.index = record.nImageIndex;
    } else if (record.nSharedImageIndex >= 0 && sharedImages.hList != nullptr) {
        ref.list = sharedImages.hList;
        ref.index = record.nSharedImageIndex;
    } else if (checked && checkImages != nullptr &&
               ((selected && checkedImageId > 0) || uncheckedImageId > 0)) {
        ref.list = checkImages;
        ref.index = selected ? 1 : 0;
        ref.checkImage = true;
    }
    return ref;
}

} // namespace

void SkinMenu::DrawClassic(const DRAWITEMSTRUCT& item, MenuItemData& data)
{
    HDC hdc = item.hDC;
    const RECT rc = item.rcItem;
    const bool grayed = (item.itemState & ODS_GRAYED) != 0;
    const bool checked = (item.itemState & ODS_CHECKED) != 0;
    bool selected = (item.itemState & ODS_SELECTED) != 0;
    if (selected && grayed && !Settings().classicSelectDisabled)
        selected = false;
    const COLORREF bg = GetSysColor(ThemedXp() ? COLOR_3DFACE : COLOR_MENU);
    const bool newShell = skin::IsNewShell(osClass);

    if (data.nFlags & MF_SEPARATOR) {
        skin::FillSolid(hdc, rc, bg);
        RECT line = rc;
        line.top += (rc.bottom - rc.top) / 2;
        DrawEdge(hdc, &line, EDGE_ETCHED, BF_TOP);
        return;
    }

    const ImageRef image = ImageFor(data, m_hCheckImages, m_nCheckedImageId, m_nUncheckedImageId, selected, checked);
    const int height = rc.bottom - rc.top;
    const int dy = std::max(0, (height - m_nIconHeight - 4) / 2);

    skin::FillSolid(hdc, rc, bg);
    if (selected) {
        RECT highlight = rc;
        if (image.list != nullptr || checked)
            highlight.left += m_nIconWidth + 5;
        skin::FillSolid(hdc, highlight, GetSysColor(COLOR_HIGHLIGHT));
    } else {
        skin::FrameSolid(hdc, rc, bg);
    }

    const RECT box{rc.left + 1, rc.top + dy + 1, rc.left + m_nIconWidth + 3, rc.top + dy + m_nIconHeight + 3};
    const int imageX = rc.left + 2, imageY = rc.top + dy + 2;
    if (image.checkImage) {
        skin::FillSolid(hdc, box, bg);
        skin::FrameSolid(hdc, {rc.left, rc.top + dy, rc.left + m_nIconWidth + 4, rc.top + dy + m_nIconHeight + 4}, bg);
        ImageList_Draw(image.list, image.index, hdc, imageX, imageY, ILD_TRANSPARENT);
    } else if (image.list != nullptr) {
        skin::FrameSolid(hdc, box, bg);
        if (grayed) {
            DrawEmbossed(hdc, image.list, image.index, imageX, imageY, bg);
        } else if (selected) {
            skin::FillSolid(hdc, box, bg);
            if (newShell) {
                if (checked)
                    skin::Draw3dRect(hdc, box, GetSysColor(COLOR_BTNSHADOW), GetSysColor(COLOR_BTNHIGHLIGHT));
                else
                    skin::Draw3dRect(hdc, box, GetSysColor(COLOR_BTNHIGHLIGHT), GetSysColor(COLOR_BTNSHADOW));
            }
            ImageList_Draw(image.list, image.index, hdc, imageX, imageY, ILD_TRANSPARENT);
        } else {
            if (checked) {
                skin::FillSolid(hdc, box, Lighten(bg, 0.6));
                if (newShell)
                    skin::Draw3dRect(hdc, box, GetSysColor(COLOR_BTNSHADOW), GetSysColor(COLOR_BTNHIGHLIGHT));
            } else {
                skin::FillSolid(hdc, box, bg);
                skin::FrameSolid(hdc, box, bg);
            }
            ImageList_Draw(image.list, image.index, hdc, imageX, imageY, ILD_TRANSPARENT);
        }
    } else if (checked) {
        RECT mark{rc.left + 1, rc.top + dy + 2, rc.left + m_nIconWidth + 1, rc.top + dy + m_nIconHeight + 2};
        skin::FillSolid(hdc, mark, selected ? bg : Lighten(bg, 0.6));
        if (newShell)
            DrawEdge(hdc, &mark, BDR_SUNKENOUTER, BF_RECT);
        if (HasRadioMark(item.itemID))
            DrawRadioDot(hdc, mark.left + 5, mark.top + 4, GetSysColor(COLOR_MENUTEXT));
        else
            DrawTick(hdc, mark.left + 4, mark.top + 4, GetSysColor(COLOR_MENUTEXT));
    }

    const int textLeft = rc.left + m_nIconWidth + 9;
    if (grayed && selected) {
        DrawText(hdc, rc, textLeft, data.text, bg);
    } else if (grayed) {
        const RECT shifted{rc.left + 1, rc.top + 1, rc.right + 1, rc.bottom + 1};
        DrawText(hdc, shifted, textLeft + 1, data.text, GetSysColor(COLOR_BTNHIGHLIGHT));
        DrawText(hdc, rc, textLeft, data.text, GetSysColor(COLOR_GRAYTEXT));
    } else {
        DrawText(hdc, rc, textLeft, data.text, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_MENUTEXT));
    }
}

void SkinMenu::DrawXp(const DRAWITEMSTRUCT& item, MenuItemData& data)
{
    const RECT rc = item.rcItem;
    const int width = rc.right - rc.left, height = rc.bottom - rc.top;
    const bool grayed = (item.itemState & ODS_GRAYED) != 0;
    const bool checked = (item.itemState & ODS_CHECKED) != 0;
    bool selected = (item.itemState & ODS_SELECTED) != 0;
    const bool themed = ThemedXp();
    const Style& style = Settings();

    // A grayed item is drawn off screen, with the menu font, and copied back.
    HDC hdc = item.hDC;
    HDC offscreen = nullptr;
    HBITMAP offscreenBitmap = nullptr;
    HGDIOBJ oldBitmap = nullptr, oldFont = nullptr;
    HFONT font = nullptr;
    if (grayed && !style.xpSelectDisabled) {
        selected = false;
        offscreen = CreateCompatibleDC(item.hDC);
        offscreenBitmap = CreateCompatibleBitmap(item.hDC, width, height);
        if (offscreen != nullptr && offscreenBitmap != nullptr) {
            oldBitmap = SelectObject(offscreen, offscreenBitmap);
            SetWindowOrgEx(offscreen, rc.left, rc.top, nullptr);
            font = CreateMenuFont();
            if (font != nullptr)
                oldFont = SelectObject(offscreen, font);
            hdc = offscreen;
        }
    }

    COLORREF face = GetSysColor(COLOR_BTNFACE);
    if (!themed)
        face = Lighten(face, 0.25);
    const COLORREF window = GetSysColor(COLOR_WINDOW);
    const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    const COLORREF selection = Lighten(highlight, themed ? 0.7 : 0.85);
    const int gap = style.xp3dImages ? 7 : 4;
    const int column = m_nIconWidth + gap;
    const RECT columnRect{rc.left, rc.top, rc.left + column, rc.bottom};

    if (data.nFlags & MF_SEPARATOR) {
        skin::FillSolid(hdc, rc, window);
        skin::FillSolid(hdc, columnRect, face);
        skin::FrameSolid(hdc, columnRect, face);
        RECT line{columnRect.right + gap, rc.top + height / 2, rc.right, rc.bottom};
        DrawEdge(hdc, &line, EDGE_ETCHED, BF_TOP);
    } else {
        if (selected) {
            skin::FillSolid(hdc, rc, selection);
            skin::FrameSolid(hdc, rc, highlight);
        } else {
            skin::FillSolid(hdc, rc, window);
            skin::FrameSolid(hdc, rc, window);
            skin::FillSolid(hdc, columnRect, face);
            skin::FrameSolid(hdc, columnRect, face);
        }

        const ImageRef image = ImageFor(data, m_hCheckImages, m_nCheckedImageId, m_nUncheckedImageId, selected, checked);
        const int x = rc.left + std::max(0, (column - m_nIconWidth + 1) / 2);
        const int y = rc.top + std::max(0, (height - m_nIconHeight + 1) / 2);
        const RECT box{rc.left + 1, rc.top + 1, rc.left + column - 1, rc.bottom - 1};
        bool raised = false;
        if (style.xp3dImages && image.list != nullptr && !image.checkImage) {
            if (image.list == sharedImages.hList) {
                const std::size_t i = static_cast<std::size_t>(image.index);
                raised = i + 2 < sharedImageOwners.size() && sharedImageOwners[i + 1] == sharedImageOwners[i] &&
                         sharedImageOwners[i + 2] == sharedImageOwners[i];
            } else {
                raised = ImageList_GetImageCount(image.list) > 2;
            }
        }
        if (image.checkImage) {
            skin::FillSolid(hdc, box, face);
            ImageList_Draw(image.list, image.index, hdc, x, y, ILD_TRANSPARENT);
        } else if (image.list != nullptr) {
            if (grayed) {
                DrawEmbossed(hdc, image.list, image.index, x, y, selected ? selection : face);
                if (selected)
                    skin::FrameSolid(hdc, rc, highlight);
            } else if (selected) {
                skin::FillSolid(hdc, box, selection);
                if (checked) {
                    skin::FrameSolid(hdc, box, highlight);
                    ImageList_Draw(image.list, image.index, hdc, x - 1, y - 1, ILD_TRANSPARENT);
                } else if (raised) {
                    ImageList_Draw(image.list, image.index + 2, hdc, x + 1, y + 1, ILD_TRANSPARENT);
                    ImageList_Draw(image.list, image.index, hdc, x - 1, y - 1, ILD_TRANSPARENT);
                } else {
                    ImageList_Draw(image.list, image.index, hdc, x, y, ILD_TRANSPARENT);
                }
            } else if (checked) {
                skin::FillSolid(hdc, box, Lighten(highlight, 0.85));
                skin::FrameSolid(hdc, box, highlight);
                ImageList_Draw(image.list, image.index, hdc, x - 1, y - 1, ILD_TRANSPARENT);
            } else {
                skin::FillSolid(hdc, box, face);
                skin::FrameSolid(hdc, box, face);
                ImageList_Draw(image.list, raised ? image.index + 1 : image.index, hdc, x, y, ILD_TRANSPARENT);
            }
        } else if (checked) {
            const int bx = rc.left + std::max(0, (column - 16 + 1) / 2);
            const int by = rc.top + std::max(0, (height - 16 + 1) / 2);
            const RECT mark{bx, by, bx + 16, by + 16};
            skin::FillSolid(hdc, mark, Lighten(highlight, 0.85));
            skin::FrameSolid(hdc, mark, highlight);
            if (HasRadioMark(item.itemID))
                DrawRadioDot(hdc, bx + 5, by + 4, GetSysColor(COLOR_MENUTEXT));
            else
                DrawTick(hdc, bx + 5, by + 4, GetSysColor(COLOR_MENUTEXT));
        }

        COLORREF text = GetSysColor(COLOR_MENUTEXT);
        if (grayed)
            text = (themed || selected) ? GetSysColor(COLOR_GRAYTEXT) : Lighten(GetSysColor(COLOR_GRAYTEXT), 0.4);
        DrawText(hdc, rc, rc.left + column + 8, data.text, text);
    }

    if (hdc == offscreen) {
        BitBlt(item.hDC, rc.left, rc.top, width, height, offscreen, rc.left, rc.top, SRCCOPY);
        if (oldFont != nullptr)
            SelectObject(offscreen, oldFont);
        SelectObject(offscreen, oldBitmap);
    }
    if (font != nullptr)
        DeleteObject(font);
    if (offscreenBitmap != nullptr)
        DeleteObject(offscreenBitmap);
    if (offscreen != nullptr)
        DeleteDC(offscreen);
}
