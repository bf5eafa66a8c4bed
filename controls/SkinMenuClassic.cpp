// The skinned menu's classic look: items on the menu colour, a highlight bar right of
// the image column, sunken or raised image boxes (the pre-XP style).
#include "controls/SkinMenu.h"

#include "controls/GdiHelpers.h"
#include "controls/MenuRules.h"
#include "controls/SkinMenuShared.h"

#include <algorithm>

using namespace skin::menu;

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
