// WholeFlashUpdater's events: the run's stages and every acknowledgement, each on
// the tick that acts on it and before the frame that follows; a rejection before the
// frame goes again, and only where the write recogniser itself sees one; refusals
// with their reason before their box.
#include "wholeflash/WholeFlashUpdater.h"

#include "common/RecordingHost.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace {

using Image = std::vector<std::uint8_t>;
using Events = std::vector<ToolEvent>;

struct Rig {
    RecordingHost host;
    WholeFlashUpdater updater{host};

    Rig() { updater.Initialise(); }
    void Feed(std::string_view bytes)
    {
        for (char c : bytes)
            updater.OnReceivedByte(static_cast<std::uint8_t>(c));
    }
    void Start(std::size_t size)
    {
        Image image(size, 0x5A);
        updater.LoadFlashImage(image.data(), image.size());
        updater.OnTimerTick();
        ASSERT_EQ(updater.StartUpdate(), UPDATE_STARTED);
    }
    void EraseStage()
    {
        for (int i = 0; i < 17; ++i) {
            Feed("*EOK-");
            updater.OnTimerTick();
        }
    }
    Events Kinds(std::size_t from = 0) const
    {
        Events out;
        for (std::size_t i = from; i < host.events.size(); ++i)
            out.push_back(host.events[i].event);
        return out;
    }
};

ToolEvent Erase(ToolEventKind kind, long number)
{
    return MakeEvent(kind, UNIT_ERASE_FRAME, number, 17);
}
ToolEvent Write(ToolEventKind kind, long number, long total = 16)
{
    return MakeEvent(kind, UNIT_WRITE_FRAME, number, total);
}

}  // namespace

TEST(WholeFlashEvents, AOnePageRunTellsEveryStepBeforeTheFrameThatFollows)
{
    Rig rig;
    rig.Start(2112);
    rig.EraseStage();
    for (int i = 0; i < 16; ++i) {
        rig.Feed("*WOK-");
        rig.updater.OnTimerTick();
    }

    Events expected{Erase(TOOL_EVENT_STARTED, 0)};
    for (int n = 1; n <= 17; ++n)
        expected.push_back(Erase(TOOL_EVENT_ACKNOWLEDGED, n));
    expected.push_back(Write(TOOL_EVENT_STAGE, 0));
    for (int n = 1; n <= 16; ++n)
        expected.push_back(Write(TOOL_EVENT_ACKNOWLEDGED, n));
    expected.push_back(Write(TOOL_EVENT_COMPLETED, 16));
    ASSERT_EQ(rig.Kinds(), expected);

    // STARTED before the first erase frame; the k-th acknowledgement after k frames
    // (17 erase frames, then 16 write frames); the write stage before its first frame.
    const auto& ev = rig.host.events;
    EXPECT_EQ(ev[0].framesBefore, 0u);
    for (std::size_t k = 1; k <= 17; ++k)
        EXPECT_EQ(ev[k].framesBefore, k) << "erase acknowledgement " << k;
    EXPECT_EQ(ev[18].framesBefore, 17u);
    for (std::size_t k = 1; k <= 16; ++k)
        EXPECT_EQ(ev[18 + k].framesBefore, 17 + k) << "write acknowledgement " << k;
    EXPECT_EQ(rig.host.frames.size(), 33u);
    // The completion before the success status and box.
    EXPECT_EQ(ev.back().messagesBefore, 0u);
    EXPECT_EQ(ev.back().statusBefore, rig.host.statusTexts.size() - 1);
    EXPECT_EQ(rig.host.messages, std::vector<std::string>{"Updata success!"});
}

TEST(WholeFlashEvents, OneEventPerTickThatActsOnAnAcknowledgement)
{
    Rig rig;
    rig.Start(2112);
    const std::size_t before = rig.host.events.size();
    // Two acknowledgements before one tick: the updater counts one.
    rig.Feed("*EOK-*EOK-");
    rig.updater.OnTimerTick();
    rig.updater.OnTimerTick();
    EXPECT_EQ(rig.Kinds(before), (Events{Erase(TOOL_EVENT_ACKNOWLEDGED, 1)}));
}

TEST(WholeFlashEvents, ARejectionIsToldOnceBeforeItsFrameGoesAgain)
{
    Rig rig;
    rig.Start(2 * 2112);
    rig.EraseStage();
    rig.Feed("*WOK-");
    rig.updater.OnTimerTick();  // write frame 2 in flight
    const std::size_t before = rig.host.events.size();
    const std::size_t sent = rig.host.frames.size();

    rig.Feed("*WER");
    EXPECT_EQ(rig.host.events.size(), before) << "decided at the '#'";
    rig.Feed("#");
    ASSERT_EQ(rig.Kinds(before), (Events{Write(TOOL_EVENT_REJECTED, 2, 32)}));
    EXPECT_EQ(rig.host.events.back().framesBefore, sent);
    ASSERT_EQ(rig.host.frames.size(), sent + 1);
    EXPECT_EQ(rig.host.frames.back(), rig.host.frames[sent - 1]) << "the same frame again";
}

TEST(WholeFlashEvents, AmbiguousBytesRaiseWhatTheRecogniserDecides)
{
    Rig rig;
    rig.Start(2112);
    rig.EraseStage();
    const std::size_t before = rig.host.events.size();
    const std::size_t sent = rig.host.frames.size();

    // "*W*WER#": the second '*' breaks the reply and starts nothing, so no rejection.
    rig.Feed("*W*WER#");
    EXPECT_EQ(rig.host.events.size(), before);
    EXPECT_EQ(rig.host.frames.size(), sent);
    // A rejection in the erase stage's recogniser means nothing either.
    Rig erasing;
    erasing.Start(2112);
    erasing.Feed("*WER#");
    EXPECT_EQ(erasing.Kinds(), (Events{Erase(TOOL_EVENT_STARTED, 0)}));

    // A rejection split across hand-overs, with ticks between, is one rejection.
    rig.Feed("*W");
    rig.updater.OnTimerTick();
    rig.Feed("ER");
    rig.updater.OnTimerTick();
    rig.Feed("#");
    EXPECT_EQ(rig.Kinds(before), (Events{Write(TOOL_EVENT_REJECTED, 1)}));
}

TEST(WholeFlashEvents, RefusalsCarryTheirReasonBeforeTheirBox)
{
    Rig rig;
    EXPECT_EQ(rig.updater.StartUpdate(), UPDATE_REFUSED_NO_IMAGE);
    const Image empty;
    rig.updater.LoadFlashImage(empty.data(), 0);
    EXPECT_EQ(rig.updater.StartUpdate(), UPDATE_REFUSED_EMPTY_IMAGE);
    Image image(2112, 1);
    rig.updater.LoadFlashImage(image.data(), image.size());
    rig.updater.SetReady(false);
    EXPECT_EQ(rig.updater.StartUpdate(), UPDATE_REFUSED_NOT_READY);

    ASSERT_EQ(rig.host.events.size(), 3u);
    const ToolRefusal reasons[] = {REFUSAL_NO_IMAGE, REFUSAL_EMPTY_IMAGE, REFUSAL_NOT_READY};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(rig.host.events[i].event.kind, TOOL_EVENT_REFUSED);
        EXPECT_EQ(rig.host.events[i].event.refusal, reasons[i]);
        EXPECT_EQ(rig.host.events[i].messagesBefore, i) << "before its own box";
    }
    EXPECT_TRUE(rig.host.frames.empty());
}

TEST(WholeFlashEvents, AnImageEmptiedDuringTheEraseStageEndsTheRunAsRefused)
{
    Rig rig;
    rig.Start(2112);
    rig.updater.LoadFlashImage(nullptr, 0);
    rig.EraseStage();
    const ToolEvent last = rig.host.events.back().event;
    EXPECT_EQ(last.kind, TOOL_EVENT_REFUSED);
    EXPECT_EQ(last.refusal, REFUSAL_EMPTY_IMAGE);
    for (const auto& e : rig.host.events)
        EXPECT_NE(e.event.kind, TOOL_EVENT_STAGE);
}
