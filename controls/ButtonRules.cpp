#include "controls/ButtonRules.h"

#include <cstring>

namespace skin {

ColorSlot FaceSlot(bool hot, bool pressed, bool focused)
{
    if (hot || pressed)
        return HotFace;
    return focused ? FocusFace : RestFace;
}

CaptionSlots CaptionSlotsFor(bool hot, bool pressed)
{
    if (hot || pressed)
        return {HotText, HotFace};
    return {RestText, RestFace};
}

Box CentreIn(const Box& measured, const Box& caption)
{
    const int dx = (caption.Width() - measured.Width()) / 2;
    const int dy = (caption.Height() - measured.Height()) / 2;
    return {measured.left + dx, measured.top + dy, measured.right + dx, measured.bottom + dy};
}

ImagePlacement PlaceImage(ImageAlign align, bool hasCaption, const Box& item, Box& caption, bool pressed,
                          bool checkMode, int clientWidth, int imageWidth, int imageHeight)
{
    ImagePlacement at{item.left, item.top};
    const int centreX = item.left + (item.Width() - imageWidth) / 2;
    const int centreY = item.top + (item.Height() - imageHeight) / 2;
    switch (align) {
    case ImageLeft:
        if (hasCaption) {
            at.x = item.left + 3;
            caption.left += imageWidth + 3;
        } else {
            at.x = centreX;
        }
        at.y = centreY;
        break;
    case ImageAbove:
        at.x = centreX;
        if (hasCaption) {
            at.y = 3;
            caption.top += imageHeight;
        } else {
            at.y = centreY;
        }
        break;
    case ImageRight:
        if (hasCaption) {
            const int oldLeft = caption.left;
            caption.left = 3;
            caption.right = caption.right - oldLeft - imageWidth - 3;
            at.x = clientWidth - imageWidth - 3;
            at.y = centreY;
        } else {
            at.x = centreX;
        }
        break;
    }
    if (pressed && !checkMode) {
        ++at.x;
        ++at.y;
    }
    return at;
}

int ImageEntryFor(bool checkMode, bool pressed, bool hot, bool restPresent)
{
    const bool showHot = checkMode ? pressed : (pressed || hot);
    if (showHot)
        return 0;
    return restPresent ? 1 : 0;
}

bool DefaultAfterSetStyle(bool isDefault, unsigned style)
{
    switch (style & 0x1F) {
    case 1:  // BS_DEFPUSHBUTTON
        return true;
    case 0:  // BS_PUSHBUTTON
        return false;
    default:
        return isDefault;
    }
}

unsigned OwnerDrawStyle(unsigned style)
{
    return (style & ~0x1Fu) | 11u;  // BS_OWNERDRAW
}

std::size_t LinkTargetLength(const char* text, const std::function<bool(unsigned char)>& isLeadByte)
{
    if (text == nullptr)
        return 0;
    const std::size_t length = std::strlen(text);
    if (length < LINK_TARGET_SIZE)
        return length;
    // Walk whole characters; stop before one that would not fit in front of the terminator.
    std::size_t kept = 0;
    while (kept < LINK_TARGET_SIZE - 1) {
        const std::size_t step = (isLeadByte(static_cast<unsigned char>(text[kept])) && text[kept + 1] != '\0') ? 2 : 1;
        if (kept + step > LINK_TARGET_SIZE - 1)
            break;
        kept += step;
    }
    return kept;
}

}  // namespace skin
