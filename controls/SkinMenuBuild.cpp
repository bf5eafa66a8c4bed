// Building a skinned menu: owner-drawn items and their records, the toolbar images
// (and their faded and shadow copies in the shared list), the check images, loading a
// menu template from the resources, aligning accelerators, and finding items.
#include "controls/SkinMenu.h"

#include "controls/GdiHelpers.h"
#include "controls/MenuRules.h"
#include "controls/SkinMenuShared.h"

#include <algorithm>
#include <cstddef>

using namespace skin::menu;

namespace {

const LPCWSTR RESOURCE_TOOLBAR = MAKEINTRESOURCEW(241);
const LPCWSTR RESOURCE_MENU = MAKEINTRESOURCEW(4);

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
    {
        const skin::GdiObject<HBITMAP> copy(static_cast<HBITMAP>(CopyImage(buffer.Bitmap(), IMAGE_BITMAP, 0, 0, 0)));
        ImageList_AddMasked(scratch, copy.Get(), face);
    }
    HICON icon = ImageList_GetIcon(scratch, 0, ILD_NORMAL);
    ImageList_Destroy(scratch);
    return icon;
}

}  // namespace

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
        RegisterMenu(reinterpret_cast<HMENU>(id));
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
        const skin::GdiObject<HBITMAP> bitmap(
            id > 0 ? static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0,
                                                     0, LR_LOADMAP3DCOLORS))
                   : nullptr);
        if (!bitmap) {
            loaded = FALSE;
            continue;
        }
        ImageList_AddMasked(m_hCheckImages, bitmap.Get(), mask);
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
    skin::GdiObject<HBITMAP> strip(
        static_cast<HBITMAP>(LoadImageW(instance, MAKEINTRESOURCEW(resource), IMAGE_BITMAP, 0, 0, load)));
    if (!strip)
        return -1;
    HIMAGELIST scratch = ImageList_Create(m_nIconWidth, m_nIconHeight, ILC_COLORDDB | ILC_MASK, 1, 1);
    ImageList_AddMasked(scratch, strip.Get(), m_bUseImageMaskColor ? m_crImageMask : GetSysColor(COLOR_BTNFACE));
    strip.Reset();
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
    std::vector<bool> levelEnds{false};  // whether the item that opened each level ended its parent's
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
    {
        const skin::WindowDc screen(nullptr);
        const HDC dc = screen.Get();
        const skin::GdiObject<HFONT> font(CreateMenuFont());
        const skin::SelectedObject selection(dc, font.Get());
        skin::AlignAccelerators(texts, [dc](const std::u16string& text) {
            const std::wstring wide = FromU16(text);
            SIZE size{0, 0};
            GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
            return static_cast<int>(size.cx);
        });
    }
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
