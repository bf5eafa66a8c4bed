// SkinMenu: a menu whose items draw themselves, each with an optional small image
// beside its text, in a classic or a flat XP look.
//
// It wraps a platform menu handle and keeps one MenuItemData record per item; the
// record's address is the item data that the platform hands back in its
// measure-item and draw-item requests. Popups built for the menu are SkinMenu
// objects of their own, found again through their handle (FromHandle). Images are
// shared process-wide in one image list, each owned by a command identifier, and
// every popup handle any SkinMenu creates is listed in a process-wide registry, by
// which the window that shows the menu recognises its messages.
//
// Everything runs on the user-interface thread; the process-wide state is not locked.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <string>
#include <vector>

// One item of a SkinMenu.
struct MenuItemData {
    MenuItemData() = default;
    ~MenuItemData();
    MenuItemData(const MenuItemData&) = delete;
    MenuItemData& operator=(const MenuItemData&) = delete;

    std::wstring text;                // label, TAB, accelerator text
    int nImageIndex = -1;             // index in the item's own image list
    int nSharedImageIndex = -1;       // index in the shared image list
    int nOwnImage = -1;               // 0 or more when the item has its own image
    UINT nFlags = 0;                  // the item's MF_ flags
    UINT_PTR nId = 0;                 // command identifier, or the popup's handle
    UINT nSyncMark = 0;               // used while re-matching records to the menu
    HIMAGELIST hOwnImages = nullptr;  // owned
};

class SkinMenu {
public:
    // The process-wide look settings, with their start values.
    struct Style {
        int xpDrawMode = 1;                 // mode on a themed XP desktop (1: XP look)
        int classicDrawMode = 0;            // mode elsewhere
        bool classicSelectDisabled = true;  // classic look highlights grayed items
        bool xpSelectDisabled = false;      // XP look highlights grayed items
        bool xp3dImages = true;             // XP look: raised images with faded and shadow copies
    };
    static Style& Settings();

    SkinMenu();
    virtual ~SkinMenu();
    SkinMenu(const SkinMenu&) = delete;
    SkinMenu& operator=(const SkinMenu&) = delete;

    HMENU GetSafeHmenu() const { return m_hMenu; }
    operator HMENU() const { return m_hMenu; }
    // Takes an existing platform menu (this object is then what FromHandle finds);
    // false when one is attached already.
    bool Attach(HMENU hMenu);
    HMENU Detach();
    // The SkinMenu attached to a platform menu handle, or null.
    static SkinMenu* FromHandle(HMENU hMenu);
    // The SkinMenu that holds `record`, or null.
    static SkinMenu* OwnerOfRecord(const MenuItemData* record);

    // Measuring and drawing of the owner-drawn items.
    virtual void DrawItem(const DRAWITEMSTRUCT& item);
    virtual void MeasureItem(MEASUREITEMSTRUCT& item);

    // Builds the whole menu tree from a menu resource of the executable: 1, or 0
    // when the resource is missing or no menu can be made (the menu is then empty).
    virtual BOOL LoadFromResource(UINT id);
    virtual BOOL LoadFromResource(const wchar_t* name);

    // Empties the menu: its popups leave the registry, their SkinMenu objects and
    // every record are deleted, the platform menu is destroyed.
    virtual BOOL DestroyMenu();

    // Appends an owner-drawn item (id 0: a separator; with MF_POPUP, id is the
    // popup's handle). `imageResource` names a toolbar resource whose button for
    // this command gives the image (an icon resource after SetImagesAreIcons), -1
    // for none (an image the command already owns is used then). Answers the
    // platform's result.
    BOOL AppendOwnerDrawnItem(const wchar_t* text, UINT flags, UINT_PTR id, int imageResource = -1);

    // Re-matches the records to the platform menu's items as they are now.
    void SyncItemData();

    // The answer to WM_MENUCHAR for `hMenu`: the position of the first item whose
    // text has "&" before the character, with MNC_EXECUTE; 0 when none.
    static LRESULT FindShortcut(UINT character, UINT menuFlags, HMENU hMenu);

    // Text of an item (ANSI code page) by position or, without MF_BYPOSITION, by
    // command anywhere in the tree. 1, or 0 when there is no such item.
    BOOL GetMenuText(UINT item, std::string& text, UINT flags);

    // Whether a popup handle was made by a SkinMenu and is still alive.
    static BOOL IsMenuRegistered(HMENU hMenu);
    static BOOL IsMenuRegistered(const SkinMenu& menu) { return IsMenuRegistered(menu.m_hMenu); }
    static std::size_t RegistryCount();

    // Whether the desktop runs the classic theme (read once per process).
    static BOOL IsClassicTheme();
    // Platform class 0..7 (computed once).
    static int OsClass();
    // The window whose device context measures text (the desktop when null).
    static void SetMainWindow(HWND hWnd);

    // Image settings (defaults: 16 x 15 images, masked by the button-face colour,
    // embossed disabled images, images from toolbar bitmaps). Set them before items
    // with images are added.
    void SetIconSize(int width, int height);
    void SetImageMaskColor(COLORREF colour, bool use);
    void SetOldStyleDisabledImages(bool on) { m_bOldStyleDisabledImages = on ? TRUE : FALSE; }
    // With icons, the image argument of AppendOwnerDrawnItem names an icon resource.
    void SetImagesAreIcons(bool on) { m_bImagesAreIcons = on ? TRUE : FALSE; }
    // Check marks from two bitmap resources (checked item when selected, and when
    // not); an id of 0 or less leaves that one out. Popups loaded afterwards share them.
    BOOL SetCheckImages(int checkedBitmapId, int uncheckedBitmapId);

    // The records, in item order.
    const std::vector<MenuItemData*>& Items() const { return m_items; }
    const std::vector<HMENU>& SubMenus() const { return m_subMenus; }
    int GetIconWidth() const { return m_nIconWidth; }
    int GetIconHeight() const { return m_nIconHeight; }

    // The shared image list and the command owning each image.
    static HIMAGELIST SharedImages();
    static const std::vector<UINT>& SharedImageOwners();

private:
    BOOL LoadTemplate(HRSRC resource);
    void ReleaseContents();
    void FixTopLevel();
    void AlignAccelerators();
    int AddSharedImage(UINT id, HIMAGELIST scratch, int position);
    int LoadToolbarImage(int resource, UINT id);
    MenuItemData* NewRecord(const std::wstring& text, UINT flags, UINT_PTR id);
    bool XpLook(HDC hdc) const;
    void DrawClassic(const DRAWITEMSTRUCT& item, MenuItemData& data);
    void DrawXp(const DRAWITEMSTRUCT& item, MenuItemData& data);
    void DrawText(HDC hdc, const RECT& item, int textLeft, const std::wstring& text, COLORREF colour) const;
    void DrawEmbossed(HDC hdc, HIMAGELIST list, int index, int x, int y, COLORREF background) const;
    bool HasRadioMark(UINT id) const;

    HMENU m_hMenu = nullptr;
    std::vector<MenuItemData*> m_items;  // owned, in item order
    std::vector<HMENU> m_subMenus;       // popups created for this menu
    int m_nIconWidth = 16;
    int m_nIconHeight = 15;
    COLORREF m_crImageMask = RGB(192, 192, 192);
    BOOL m_bUseImageMaskColor = FALSE;
    BOOL m_bOldStyleDisabledImages = FALSE;
    HIMAGELIST m_hCheckImages = nullptr;  // 0 unselected, 1 selected
    BOOL m_bCheckImagesShared = FALSE;    // belongs to a parent menu
    int m_nCheckedImageId = -1;
    int m_nUncheckedImageId = -1;
    BOOL m_bImagesAreIcons = FALSE;
    BOOL m_bLoadedFromResource = FALSE;
    bool m_bCreatedForParent = false;  // made by LoadFromResource for a popup; its parent deletes it
};
