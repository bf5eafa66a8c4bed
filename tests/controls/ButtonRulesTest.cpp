#include "controls/ButtonRules.h"

#include <gtest/gtest.h>

#include <string>

using namespace skin;

TEST(ButtonRules, FaceTakesHotThenPressedThenFocusThenRest)
{
    EXPECT_EQ(FaceSlot(false, false, false), RestFace);
    EXPECT_EQ(FaceSlot(false, false, true), FocusFace);
    EXPECT_EQ(FaceSlot(false, true, true), HotFace);
    EXPECT_EQ(FaceSlot(true, false, true), HotFace);
    EXPECT_EQ(FaceSlot(true, true, false), HotFace);
}

TEST(ButtonRules, CaptionIgnoresFocusAndNeverUsesTheFocusTextSlot)
{
    // A focused button at rest writes in the rest text colour.
    EXPECT_EQ(CaptionSlotsFor(false, false).text, RestText);
    EXPECT_EQ(CaptionSlotsFor(false, false).background, RestFace);
    EXPECT_EQ(CaptionSlotsFor(true, false).text, HotText);
    EXPECT_EQ(CaptionSlotsFor(false, true).text, HotText);
    EXPECT_EQ(CaptionSlotsFor(true, true).background, HotFace);
    for (bool hot : {false, true})
        for (bool pressed : {false, true})
            EXPECT_NE(CaptionSlotsFor(hot, pressed).text, FocusText);
}

TEST(ButtonRules, CaptionBlockIsCentredWithIntegerHalves)
{
    const Box caption{10, 20, 85, 43};   // 75 x 23
    const Box measured{10, 20, 50, 33};  // 40 x 13, at the caption's corner
    EXPECT_EQ(CentreIn(measured, caption), (Box{27, 25, 67, 38}));
    // A block wider than the rectangle moves left by half the excess.
    EXPECT_EQ(CentreIn(Box{0, 0, 81, 10}, Box{0, 0, 75, 10}), (Box{-3, 0, 78, 10}));
}

TEST(ButtonRules, ImagePlacementMakesRoomForTheCaption)
{
    const Box item{0, 0, 100, 30};
    // Left of the caption: 3 pixels in, centred vertically; caption starts after it.
    Box caption = item;
    ImagePlacement at = PlaceImage(ImageLeft, true, item, caption, false, false, 100, 16, 16);
    EXPECT_EQ(at.x, 3);
    EXPECT_EQ(at.y, 7);
    EXPECT_EQ(caption, (Box{19, 0, 100, 30}));
    // No caption: centred both ways, caption untouched.
    caption = item;
    at = PlaceImage(ImageLeft, false, item, caption, false, false, 100, 16, 16);
    EXPECT_EQ(at.x, 42);
    EXPECT_EQ(at.y, 7);
    EXPECT_EQ(caption, item);

    // Above: centred horizontally, 3 from the top, caption pushed down by the height.
    caption = item;
    at = PlaceImage(ImageAbove, true, item, caption, false, false, 100, 20, 10);
    EXPECT_EQ(at.x, 40);
    EXPECT_EQ(at.y, 3);
    EXPECT_EQ(caption.top, 10);
    caption = item;
    at = PlaceImage(ImageAbove, false, item, caption, false, false, 100, 20, 10);
    EXPECT_EQ(at.y, 10);

    // Right: the image sits 3 pixels from the client's right edge; the caption keeps
    // the rest, from 3 on.
    caption = item;
    at = PlaceImage(ImageRight, true, item, caption, false, false, 100, 16, 16);
    EXPECT_EQ(at.x, 81);
    EXPECT_EQ(at.y, 7);
    EXPECT_EQ(caption, (Box{3, 0, 81, 30}));
    // Right without a caption: centred horizontally, top stays the item's.
    caption = item;
    at = PlaceImage(ImageRight, false, item, caption, false, false, 100, 16, 16);
    EXPECT_EQ(at.x, 42);
    EXPECT_EQ(at.y, 0);
}

TEST(ButtonRules, PressedImageMovesOnePixelExceptInCheckMode)
{
    const Box item{0, 0, 40, 40};
    Box caption = item;
    ImagePlacement at = PlaceImage(ImageLeft, false, item, caption, true, false, 40, 16, 16);
    EXPECT_EQ(at.x, 13);
    EXPECT_EQ(at.y, 13);
    at = PlaceImage(ImageLeft, false, item, caption, true, true, 40, 16, 16);
    EXPECT_EQ(at.x, 12);
    EXPECT_EQ(at.y, 12);
}

TEST(ButtonRules, HotEntryShownWhenHotOrPressedRestEntryOtherwise)
{
    // Normal mode: hot or pressed shows entry 0.
    EXPECT_EQ(ImageEntryFor(false, false, true, true), 0);
    EXPECT_EQ(ImageEntryFor(false, true, false, true), 0);
    EXPECT_EQ(ImageEntryFor(false, false, false, true), 1);
    // Only a hot image: it is shown at rest too.
    EXPECT_EQ(ImageEntryFor(false, false, false, false), 0);
    // Check mode: only the pressed (checked) look shows entry 0, hover does not.
    EXPECT_EQ(ImageEntryFor(true, false, true, true), 1);
    EXPECT_EQ(ImageEntryFor(true, true, false, true), 0);
}

TEST(ButtonRules, SetStyleFollowsTheDialogManagerAndKeepsOwnerDraw)
{
    EXPECT_TRUE(DefaultAfterSetStyle(false, 0x1));  // BS_DEFPUSHBUTTON
    EXPECT_FALSE(DefaultAfterSetStyle(true, 0x0));  // BS_PUSHBUTTON
    EXPECT_TRUE(DefaultAfterSetStyle(true, 0xB));   // other types leave it
    EXPECT_FALSE(DefaultAfterSetStyle(false, 0xB));
    EXPECT_TRUE(DefaultAfterSetStyle(false, 0x2001));  // only the low five bits count
    EXPECT_EQ(OwnerDrawStyle(0x50010001u), 0x5001000Bu);
    EXPECT_EQ(OwnerDrawStyle(0x5001001Fu), 0x5001000Bu);
    EXPECT_EQ(OwnerDrawStyle(0x00000020u), 0x0000002Bu);
}

TEST(ButtonRules, LinkTargetAlwaysLeavesRoomForTheTerminator)
{
    const auto single = [](unsigned char) { return false; };
    EXPECT_EQ(LinkTargetLength(nullptr, single), 0u);
    EXPECT_EQ(LinkTargetLength("", single), 0u);
    EXPECT_EQ(LinkTargetLength(std::string(259, 'a').c_str(), single), 259u);
    EXPECT_EQ(LinkTargetLength(std::string(260, 'a').c_str(), single), 259u);
    EXPECT_EQ(LinkTargetLength(std::string(1000, 'a').c_str(), single), 259u);

    // A double-byte character that would straddle the terminator is left out whole.
    const auto lead = [](unsigned char c) { return c >= 0x81 && c <= 0xFE; };
    std::string text(258, 'a');
    text += "\xB0\xA1"
            "bbb";  // bytes 258 and 259 form one character
    EXPECT_EQ(LinkTargetLength(text.c_str(), lead), 258u);
    std::string fits(257, 'a');
    fits += "\xB0\xA1"
            "bbb";  // bytes 257 and 258: it fits
    EXPECT_EQ(LinkTargetLength(fits.c_str(), lead), 259u);
}
