// The skinned button's drawing rules that need no window system: which colour slot
// the face and the caption take, where an image goes and how the caption moves out
// of its way, which of the two image entries is drawn, and how a link target is cut
// to its field. The Win32 button (SkinButton) applies them; kept here so they are
// tested on their own.
#pragma once

#include <cstddef>
#include <functional>

namespace skin {

// Colour slots of the button, in their fixed order.
enum ColorSlot : unsigned char {
    HotFace = 0,    // face when hot or pressed
    HotText = 1,    // caption when hot or pressed
    RestFace = 2,   // face at rest
    RestText = 3,   // caption at rest, also when focused
    FocusFace = 4,  // face when focused and neither hot nor pressed
    FocusText = 5,  // stored only; nothing draws with it
    ColorSlotCount = 6
};

// Where an image sits against the caption.
enum ImageAlign : unsigned char { ImageLeft = 0, ImageAbove = 1, ImageRight = 2 };

// A rectangle in the platform's convention: right and bottom lie outside.
struct Box {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool operator==(const Box&) const = default;
};

// Slot of the face colour: hot, then pressed, then focused, else rest.
ColorSlot FaceSlot(bool hot, bool pressed, bool focused);

// Slots of an enabled caption: the text colour and the (unseen) text background.
struct CaptionSlots {
    ColorSlot text;
    ColorSlot background;
};
CaptionSlots CaptionSlotsFor(bool hot, bool pressed);

// Top-left corner at which the caption's measured block is drawn so that it is
// centred in the caption rectangle (integer halves of the differences).
Box CentreIn(const Box& measured, const Box& caption);

// Image placement. `caption` is shrunk to leave room for the image; the result is
// the image's top-left corner (its size is the entry's own).
struct ImagePlacement {
    int x = 0, y = 0;
};
ImagePlacement PlaceImage(ImageAlign align, bool hasCaption, const Box& item, Box& caption, bool pressed,
                          bool checkMode, int clientWidth, int imageWidth, int imageHeight);

// Which image entry (0 hot, 1 rest) is drawn; `restPresent` says entry 1 holds a handle.
int ImageEntryFor(bool checkMode, bool pressed, bool hot, bool restPresent);

// Default-button state after BM_SETSTYLE with `style`: BS_DEFPUSHBUTTON turns it on,
// BS_PUSHBUTTON off, anything else leaves it. And the style passed on to the
// control: the low five bits become BS_OWNERDRAW.
bool DefaultAfterSetStyle(bool isDefault, unsigned style);
unsigned OwnerDrawStyle(unsigned style);

// Size of the link-target field, terminator included.
constexpr std::size_t LINK_TARGET_SIZE = 260;

// Number of bytes of `text` kept in the link-target field: all of a text shorter
// than the field, else as many as fit before the terminator without splitting a
// double-byte character (`isLeadByte` tells the first byte of such a character).
std::size_t LinkTargetLength(const char* text, const std::function<bool(unsigned char)>& isLeadByte);

}  // namespace skin
