// What the skinned menu's files share, private to controls/: the process-wide state
// and helpers (defined in SkinMenu.cpp) and the small helpers of the painters
// (SkinMenuPaint.cpp).
#pragma once

#include "controls/GdiHelpers.h"
#include "controls/SkinMenu.h"

#include <string>
#include <vector>

namespace skin::menu {

// The image list that every menu's toolbar images go into (its list is destroyed at
// exit), and the command id that owns each of its images.
struct SharedImageList {
    HIMAGELIST hList = nullptr;
    ~SharedImageList()
    {
        if (hList != nullptr)
            ImageList_Destroy(hList);
    }
};
extern SharedImageList sharedImages;
extern std::vector<UINT> sharedImageOwners;
// The system class (SkinMenu::OsClass), found once at start-up.
extern const int osClass;

// Adds `hMenu` to the registry of skinned menus (SkinMenu::IsMenuRegistered).
void RegisterMenu(HMENU hMenu);
// `text` in the system's ANSI code page.
std::string ToAnsi(const std::wstring& text);
// XP with visual styles on.
bool ThemedXp();
// The system's menu font, or null; the caller deletes it.
HFONT CreateMenuFont();
std::u16string ToU16(const std::wstring& text);
std::wstring FromU16(const std::u16string& text);
COLORREF Lighten(COLORREF colour, double factor);

// The check mark: seven columns of three pixels from (x, y).
void DrawTick(HDC hdc, int x, int y, COLORREF colour);
// The radio mark: a 6-pixel disc at (x, y).
void DrawRadioDot(HDC hdc, int x, int y, COLORREF colour);
// Renders image `index` of `list` on the button-face colour into `buffer`.
void RenderOnFace(HIMAGELIST list, int index, skin::PixelBuffer& buffer, int width, int height);

// Which image an item shows: its own, the shared list's, or a check image.
struct ImageRef {
    HIMAGELIST list = nullptr;
    int index = -1;
    bool checkImage = false;
};
ImageRef ImageFor(const MenuItemData& record, HIMAGELIST checkImages, int checkedImageId, int uncheckedImageId,
                  bool selected, bool checked);

}  // namespace skin::menu
