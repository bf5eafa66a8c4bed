// What the skinned menu's two looks share: the dispatch to the classic or XP painter,
// the item text, the embossed (disabled) image, the tick and the radio dot, and which
// image an item shows.
#include "controls/SkinMenu.h"

#include "controls/GdiHelpers.h"
#include "controls/MenuRules.h"
#include "controls/SkinMenuShared.h"

#include <vector>

namespace skin::menu {

void DrawTick(HDC hdc, int x, int y, COLORREF colour)
{
    const skin::GdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, colour));
    const skin::SelectedObject selection(hdc, pen.Get());
    for (int i = 0; i < 7; ++i) {
        MoveToEx(hdc, x + i, y + skin::TickStart(i), nullptr);
        LineTo(hdc, x + i, y + skin::TickStart(i) + 3);
    }
}

void DrawRadioDot(HDC hdc, int x, int y, COLORREF colour)
{
    const skin::GdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, colour));
    const skin::GdiObject<HBRUSH> brush(CreateSolidBrush(colour));
    const skin::SelectedObject penSelection(hdc, pen.Get());
    const skin::SelectedObject brushSelection(hdc, brush.Get());
    Ellipse(hdc, x, y, x + 6, y + 6);
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
    } else if (checked && checkImages != nullptr && ((selected && checkedImageId > 0) || uncheckedImageId > 0)) {
        ref.list = checkImages;
        ref.index = selected ? 1 : 0;
        ref.checkImage = true;
    }
    return ref;
}

}  // namespace skin::menu

using namespace skin::menu;

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
            if (m_bOldStyleDisabledImages)  // the dark pixels of a black-and-white copy
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
