// The skinned menu's XP look: a face-coloured image column, a light selection with a
// highlight frame, optional raised (3D) images, and grayed items drawn off screen.
#include "controls/SkinMenu.h"

#include "controls/GdiHelpers.h"
#include "controls/MenuRules.h"
#include "controls/SkinMenuShared.h"

#include <algorithm>
#include <optional>

using namespace skin::menu;

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
    // Declared in this order, they go in reverse: the font and the bitmap are selected
    // out, then the font, the bitmap and the context are deleted.
    HDC hdc = item.hDC;
    skin::MemoryDc offscreen;
    skin::GdiObject<HBITMAP> offscreenBitmap;
    skin::GdiObject<HFONT> font;
    std::optional<skin::SelectedObject> bitmapSelection, fontSelection;
    if (grayed && !style.xpSelectDisabled) {
        selected = false;
        offscreen.Reset(CreateCompatibleDC(item.hDC));
        offscreenBitmap.Reset(CreateCompatibleBitmap(item.hDC, width, height));
        if (offscreen && offscreenBitmap) {
            bitmapSelection.emplace(offscreen.Get(), offscreenBitmap.Get());
            SetWindowOrgEx(offscreen.Get(), rc.left, rc.top, nullptr);
            font.Reset(CreateMenuFont());
            fontSelection.emplace(offscreen.Get(), font.Get());
            hdc = offscreen.Get();
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

        const ImageRef image =
            ImageFor(data, m_hCheckImages, m_nCheckedImageId, m_nUncheckedImageId, selected, checked);
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

    if (offscreen && hdc == offscreen.Get())
        BitBlt(item.hDC, rc.left, rc.top, width, height, offscreen.Get(), rc.left, rc.top, SRCCOPY);
}
