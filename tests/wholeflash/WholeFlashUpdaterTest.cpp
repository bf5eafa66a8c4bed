// WholeFlashUpdater: exact frames, the two recognisers, the tick order, progress
// figures, the quiet-device rule, and the end of a run.
#include "wholeflash/WholeFlashUpdater.h"

#include "common/RecordingHost.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Image = std::vector<std::uint8_t>;

// Bytes 0..250 repeating: no 0xFF, and neighbouring pages differ.
Image Pattern(std::size_t size)
{
    Image image(size);
    for (std::size_t i = 0; i < size; ++i)
        image[i] = static_cast<std::uint8_t>(i % 251);
    return image;
}

std::string EraseFrame(const char* digits)
{
    return std::string("+E") + digits + "-";
}

// The write frame the device must receive for `page`, `subFrame` of `image`
// (padded with 0xFF), built independently of the updater.
std::string ExpectedWriteFrame(const Image& image, int page, int subFrame)
{
    std::string data;
    unsigned sum = 0;
    for (int i = 0; i < 132; ++i) {
        const std::size_t at = static_cast<std::size_t>(page) * 2112 + subFrame * 132 + i;
        const std::uint8_t b = at < image.size() ? image[at] : 0xFF;
        data.push_back(static_cast<char>(b));
        sum += (i % 2 == 0) ? b * 256u : b;
    }
    std::string frame = "+";
    if (subFrame == 0) {
        char digits[5];
        std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(page));
        frame += std::string("W") + digits;
    } else {
        frame += "N";
    }
    frame += data;
    frame.push_back(static_cast<char>((sum >> 8) & 0xFF));
    frame.push_back(static_cast<char>(sum & 0xFF));
    frame += "-";
    return frame;
}

struct Rig {
    RecordingHost host;
    WholeFlashUpdater updater{host};

    Rig() { updater.Initialise(); }
    void Load(const Image& image) { updater.LoadFlashImage(image.data(), image.size()); }
    void Feed(std::string_view bytes)
    {
        for (char c : bytes)
            updater.OnReceivedByte(static_cast<std::uint8_t>(c));
    }
    void Tick(int n = 1)
    {
        while (n-- > 0)
            updater.OnTimerTick();
    }
    // Loads, lets the first tick set m_bReady, and presses UPDATE.
    void Start(const Image& image)
    {
        Load(image);
        Tick();
        ASSERT_EQ(updater.StartUpdate(), UPDATE_STARTED);
    }
    // Acknowledges the 17 erase frames; the page-start frame of page 0 is then in flight.
    void EraseStage()
    {
        for (int i = 0; i < 17; ++i) {
            Feed("*EOK-");
            Tick();
        }
        ASSERT_EQ(updater.GetStage(), STAGE_WRITE);
    }
    // Acknowledges `n` write frames, one tick each.
    void WriteAcks(int n)
    {
        for (int i = 0; i < n; ++i) {
            Feed("*WOK-");
            Tick();
        }
    }
    std::string LastFrame() const { return host.frames.empty() ? "" : host.frames.back(); }
};

}  // namespace

TEST(WholeFlashUpdater, InitialiseStartsTheOneMillisecondTimer)
{
    Rig rig;
    ASSERT_TRUE(rig.host.TimerRunning(TIMER_UPDATE));
    EXPECT_EQ(rig.host.timers[TIMER_UPDATE], 1u);
}

TEST(WholeFlashUpdater, PageCountIgnoresTrailingErasedBytesAndTheExcess)
{
    Rig rig;
    Image page = Pattern(2112);
    rig.Load(page);
    EXPECT_EQ(rig.updater.GetPageCount(), 1);

    Image twoPages = Pattern(2113);
    rig.Load(twoPages);
    EXPECT_EQ(rig.updater.GetPageCount(), 2);
    const std::uint8_t* image = rig.updater.GetImage();
    EXPECT_EQ(image[2112], twoPages[2112]);
    for (int i = 2113; i < 4224; ++i)
        ASSERT_EQ(image[i], 0xFF) << "byte " << i;

    Image tail = Pattern(5112);
    std::fill(tail.begin() + 2112, tail.end(), 0xFF);
    rig.Load(tail);
    EXPECT_EQ(rig.updater.GetPageCount(), 1);

    rig.Load(Pattern(5000));
    EXPECT_EQ(rig.updater.GetPageCount(), 3);
    rig.Load(Pattern(4224));
    EXPECT_EQ(rig.updater.GetPageCount(), 2);

    // A shorter file after a longer one: the rest of the image is 0xFF again.
    rig.Load(Pattern(10));
    EXPECT_EQ(rig.updater.GetPageCount(), 1);
    EXPECT_EQ(rig.updater.GetImage()[10], 0xFF);
    EXPECT_EQ(rig.updater.GetImage()[4000], 0xFF);

    Image tooLong = Pattern(FLASH_IMAGE_SIZE + 500);
    rig.Load(tooLong);
    EXPECT_EQ(rig.updater.GetPageCount(), 1024);
    EXPECT_EQ(rig.updater.GetImage()[FLASH_IMAGE_SIZE - 1], tooLong[FLASH_IMAGE_SIZE - 1]);
}

TEST(WholeFlashUpdater, ChecksumIsTheBigEndianWordSumSentHighByteFirst)
{
    Rig rig;
    Image image(2112, 0x00);
    std::fill(image.begin(), image.begin() + 132, 0xFF);
    rig.Start(image);
    rig.EraseStage();
    const std::string first = rig.LastFrame();
    ASSERT_EQ(first.size(), 141u);
    EXPECT_EQ(first.substr(0, 6), "+W0000");
    EXPECT_EQ(first.substr(6, 132), std::string(132, '\xFF'));
    EXPECT_EQ(first.substr(138), Bytes({0xFF, 0xBE, '-'}));

    rig.WriteAcks(1);
    const std::string second = rig.LastFrame();
    ASSERT_EQ(second.size(), 137u);
    EXPECT_EQ(second.substr(0, 2), "+N");
    EXPECT_EQ(second.substr(134), Bytes({0x00, 0x00, '-'}));
}

// The run of a two-page image, frame by frame and tick by tick.
TEST(WholeFlashUpdater, TwoPageRunSendsEveryFrameOnTheTickAfterItsAcknowledgement)
{
    Rig rig;
    const Image image = Pattern(4224);
    rig.Start(image);
    ASSERT_EQ(rig.host.TakeFrames(), std::vector<std::string>{EraseFrame("0000")});
    EXPECT_FALSE(rig.updater.IsReady());

    static const char* const ERASE_ADDRESSES[] = {"0040", "0080", "00C0", "0100", "0140", "0180", "01C0", "0200",
                                                  "0240", "0280", "02C0", "0300", "0340", "0380", "03C0", "0400"};
    for (const char* digits : ERASE_ADDRESSES) {
        rig.Feed("*EOK-");
        EXPECT_TRUE(rig.host.frames.empty()) << "a frame left before the tick";
        rig.Tick();
        ASSERT_EQ(rig.host.TakeFrames(), std::vector<std::string>{EraseFrame(digits)});
        // The wait notice comes with frame 2 and nothing else shows during erasing.
        ASSERT_EQ(rig.host.statusTexts, std::vector<std::string>{"Updata will take several minute!Please wait!"});
        ASSERT_TRUE(rig.host.progressTexts.empty());
        ASSERT_TRUE(rig.host.progressPositions.empty());
    }

    // Frame 18: page 0 starts, the progress shows 0.00% and an empty bar.
    rig.Feed("*EOK-");
    rig.Tick();
    ASSERT_EQ(rig.host.TakeFrames(), std::vector<std::string>{ExpectedWriteFrame(image, 0, 0)});
    EXPECT_EQ(rig.host.progressTexts.back(), "write progress:0.00%");
    EXPECT_EQ(rig.host.progressPositions.back(), 0);

    for (int page = 0; page < 2; ++page) {
        for (int sub = (page == 0 ? 1 : 0); sub < 16; ++sub) {
            rig.Feed("*WOK-");
            rig.Tick();
            ASSERT_EQ(rig.host.TakeFrames(), std::vector<std::string>{ExpectedWriteFrame(image, page, sub)})
                << "page " << page << " sub-frame " << sub;
            ASSERT_EQ(rig.host.progressTexts.back(), page == 0 ? "write progress:0.00%" : "write progress:50.00%");
            ASSERT_EQ(rig.host.progressPositions.back(), page * 50);
        }
    }
    EXPECT_TRUE(rig.host.messages.empty());
    EXPECT_TRUE(rig.updater.IsRunActive());

    // The acknowledgement of frame 49: 100%, the full bar, the status line, then the box,
    // and m_bReady only once the box is closed.
    rig.host.onMessage = [&](const std::string&) {
        EXPECT_EQ(rig.host.progressTexts.back(), "write progress:100.00%");
        EXPECT_EQ(rig.host.progressPositions.back(), 100);
        EXPECT_EQ(rig.host.statusTexts.back(), "Updata success!");
        EXPECT_FALSE(rig.updater.IsReady());
    };
    rig.Feed("*WOK-");
    rig.Tick();
    EXPECT_TRUE(rig.host.frames.empty());
    EXPECT_EQ(rig.host.messages, std::vector<std::string>{"Updata success!"});
    EXPECT_TRUE(rig.updater.IsReady());
    EXPECT_TRUE(rig.updater.IsRunComplete());
    EXPECT_FALSE(rig.updater.IsRunActive());
}

TEST(WholeFlashUpdater, ProgressCountsWholePagesWithTwoDecimals)
{
    Rig rig;
    rig.host.rangeLower = 10;
    rig.host.rangeUpper = 210;
    rig.updater.Initialise();
    rig.Start(Pattern(8 * 2112));
    rig.EraseStage();
    rig.WriteAcks(3 * 16 + 5);
    EXPECT_EQ(rig.updater.GetPage(), 3);
    EXPECT_EQ(rig.updater.GetSubFrame(), 5);
    EXPECT_EQ(rig.host.progressTexts.back(), "write progress:37.50%");
    EXPECT_EQ(rig.host.progressPositions.back(), 75) << "(upper - lower) x page / pages";
}

TEST(WholeFlashUpdater, FileOverTheLimitEndsWithPage03FF)
{
    Rig rig;
    const Image image = Pattern(FLASH_IMAGE_SIZE + 1000);
    rig.Start(image);
    rig.EraseStage();
    rig.WriteAcks(1023 * 16);
    ASSERT_EQ(rig.LastFrame(), ExpectedWriteFrame(image, 1023, 0));
    EXPECT_EQ(rig.LastFrame().substr(0, 6), "+W03FF");
    rig.WriteAcks(15);
    EXPECT_EQ(rig.LastFrame(), ExpectedWriteFrame(image, 1023, 15));
    rig.host.TakeFrames();
    rig.WriteAcks(1);
    EXPECT_TRUE(rig.host.frames.empty());
    EXPECT_EQ(rig.host.messages, std::vector<std::string>{"Updata success!"});
}

TEST(WholeFlashUpdater, RejectionResendsTheFrameInFlightAtOnce)
{
    Rig rig;
    const Image image = Pattern(7 * 2112);
    rig.Start(image);
    rig.EraseStage();
    rig.WriteAcks(5 * 16);
    const std::string pageStart = ExpectedWriteFrame(image, 5, 0);
    ASSERT_EQ(rig.LastFrame(), pageStart);
    rig.host.TakeFrames();

    rig.Feed("*WER#");
    EXPECT_EQ(rig.host.TakeFrames(), std::vector<std::string>{pageStart});
    rig.Feed("*WER#*WER#");
    EXPECT_EQ(rig.host.TakeFrames(), (std::vector<std::string>{pageStart, pageStart}));
    rig.Tick(3);
    EXPECT_TRUE(rig.host.frames.empty());

    rig.WriteAcks(7);
    const std::string continuation = ExpectedWriteFrame(image, 5, 7);
    ASSERT_EQ(rig.LastFrame(), continuation);
    rig.host.TakeFrames();
    rig.Feed("*WER#");
    EXPECT_EQ(rig.host.TakeFrames(), std::vector<std::string>{continuation});

    // Almost-rejections send nothing; a wrong byte starts the write recogniser over.
    rig.Feed("*WEX#*WE#*WER-**WER");
    EXPECT_TRUE(rig.host.frames.empty());
    rig.Tick();
    EXPECT_TRUE(rig.host.frames.empty());
}

TEST(WholeFlashUpdater, RecognisersDifferOnWrongBytes)
{
    Rig rig;
    rig.Start(Pattern(2112));
    rig.host.TakeFrames();

    // The erase recogniser waits through wrong bytes.
    rig.Feed("*xExxOzK-");
    rig.Tick();
    EXPECT_EQ(rig.host.TakeFrames(), std::vector<std::string>{EraseFrame("0040")});

    // Several acknowledgements between two ticks count once.
    rig.Feed("*EOK-*EOK-");
    rig.Tick();
    rig.Tick();
    EXPECT_EQ(rig.host.TakeFrames(), std::vector<std::string>{EraseFrame("0080")});

    for (int i = 0; i < 15; ++i) {
        rig.Feed("*EOK-");
        rig.Tick();
    }
    ASSERT_EQ(rig.updater.GetStage(), STAGE_WRITE);
    rig.host.TakeFrames();

    // The write recogniser starts over on a wrong byte; its fifth byte may be anything.
    rig.Feed("*WxOK-*EOK-");
    rig.Tick();
    EXPECT_TRUE(rig.host.frames.empty());
    rig.Feed("*WOK?");
    rig.Tick();
    EXPECT_EQ(rig.host.frames.size(), 1u);
}

TEST(WholeFlashUpdater, EraseRecogniserLeftInState4IsResetByTheNextFrame)
{
    Rig rig;
    rig.Start(Pattern(2112));
    // A fifth byte other than '-' leaves state 4; every later byte is another
    // acknowledgement until the next erase frame resets the recogniser.
    rig.Feed("*EOKx");
    EXPECT_EQ(rig.updater.GetParseState(), 4);
    rig.Tick();
    EXPECT_EQ(rig.updater.GetParseState(), 0);
    rig.Feed("y");
    rig.Tick();
    EXPECT_EQ(rig.updater.GetEraseAddress(), 64) << "a byte after the reset counted";
}

TEST(WholeFlashUpdater, WriteStageStartsAfreshAfterAcksEndingInHash)
{
    // A device that ends its erase acknowledgements with '#': the write stage must not
    // inherit "*EOK", or page 0's rejection would count as its acknowledgement.
    Rig rig;
    const Image image = Pattern(2 * 2112);
    rig.Start(image);
    for (int i = 0; i < 17; ++i) {
        rig.Feed("*EOK#");
        rig.Tick();
    }
    ASSERT_EQ(rig.updater.GetStage(), STAGE_WRITE);
    EXPECT_EQ(rig.updater.GetParseState(), 0);
    const std::string pageStart = ExpectedWriteFrame(image, 0, 0);
    ASSERT_EQ(rig.LastFrame(), pageStart);
    rig.host.TakeFrames();

    // Page 0's first frame is rejected: the same frame again, and nothing moves on.
    rig.Feed("*WER#");
    EXPECT_EQ(rig.host.TakeFrames(), std::vector<std::string>{pageStart});
    rig.Tick(3);
    EXPECT_EQ(rig.updater.GetSubFrame(), 0);
    EXPECT_TRUE(rig.host.frames.empty());

    // The rest of the run writes every frame of both pages once, page 0 included.
    std::vector<std::string> expected;
    for (int page = 0; page < 2; ++page)
        for (int sub = 0; sub < 16; ++sub)
            if (page != 0 || sub != 0)
                expected.push_back(ExpectedWriteFrame(image, page, sub));
    rig.WriteAcks(32);
    EXPECT_EQ(rig.host.frames, expected);
    EXPECT_EQ(rig.host.statusTexts.back(), "Updata success!");
}

TEST(WholeFlashUpdater, QuietDeviceMakesUpdateAvailableAgain)
{
    Rig rig;
    rig.Load(Pattern(2112));
    // Before any run the first tick sets m_bReady, whatever the port.
    rig.updater.SetReady(false);
    rig.Tick();
    EXPECT_TRUE(rig.updater.IsReady());
    ASSERT_EQ(rig.updater.StartUpdate(), UPDATE_STARTED);
    rig.host.TakeFrames();

    rig.Tick(150);
    EXPECT_EQ(rig.updater.StartUpdate(), UPDATE_REFUSED_NOT_READY);
    EXPECT_EQ(rig.host.messages.back(), "Update is in progress or not found serial port!");
    rig.Tick();
    EXPECT_TRUE(rig.updater.IsReady());
    EXPECT_TRUE(rig.host.frames.empty()) << "nothing is resent";

    // A late acknowledgement still advances the run.
    rig.Feed("*EOK-");
    rig.Tick();
    EXPECT_EQ(rig.host.TakeFrames(), std::vector<std::string>{EraseFrame("0040")});

    // Pressing UPDATE once the device is quiet restarts at erase address 0.
    rig.Tick(151);
    ASSERT_EQ(rig.updater.StartUpdate(), UPDATE_STARTED);
    EXPECT_EQ(rig.host.TakeFrames(), std::vector<std::string>{EraseFrame("0000")});
}

TEST(WholeFlashUpdater, UpdateRefusedWhileAcknowledgementsKeepComing)
{
    Rig rig;
    rig.Start(Pattern(2 * 2112));
    for (int i = 0; i < 17 + 32; ++i) {
        rig.Tick(120);
        ASSERT_EQ(rig.updater.StartUpdate(), UPDATE_REFUSED_NOT_READY) << "acknowledgement " << i;
        rig.Feed(rig.updater.GetStage() == STAGE_ERASE ? "*EOK-" : "*WOK-");
        rig.Tick();
    }
    EXPECT_TRUE(rig.updater.IsRunComplete());
    EXPECT_EQ(rig.updater.StartUpdate(), UPDATE_STARTED);
}

TEST(WholeFlashUpdater, RejectionsDoNotKeepTheRunBusy)
{
    // Sending write frames does not restart the quiet count; only acting on an
    // acknowledgement does.
    Rig rig;
    rig.Start(Pattern(2112));
    rig.EraseStage();
    for (int i = 0; i < 151; ++i) {
        rig.Feed("*WER#");
        rig.Tick();
    }
    EXPECT_TRUE(rig.updater.IsReady());
}

TEST(WholeFlashUpdater, RefusalsShowTheirMessageAndSendNothing)
{
    Rig rig;
    rig.Tick();
    EXPECT_EQ(rig.updater.StartUpdate(), UPDATE_REFUSED_NO_IMAGE);
    EXPECT_EQ(rig.host.messages.back(), "Please open update file first!");

    rig.updater.LoadFlashImage(nullptr, 0);
    EXPECT_EQ(rig.updater.StartUpdate(), UPDATE_REFUSED_EMPTY_IMAGE);
    EXPECT_EQ(rig.host.messages.back(), "Update file has no data to write (empty or all 0xFF)!");

    rig.Load(Image(5000, 0xFF));
    EXPECT_EQ(rig.updater.StartUpdate(), UPDATE_REFUSED_EMPTY_IMAGE);

    rig.Load(Pattern(1));
    rig.updater.SetReady(false);
    EXPECT_EQ(rig.updater.StartUpdate(), UPDATE_REFUSED_NOT_READY);
    EXPECT_TRUE(rig.host.frames.empty());
    EXPECT_EQ(rig.updater.GetStage(), STAGE_IDLE);

    // Bytes before a run are dropped.
    rig.Feed("*EOK-*WOK-*WER#");
    rig.Tick(3);
    EXPECT_TRUE(rig.host.frames.empty());
}

TEST(WholeFlashUpdater, SecondRunKeepsTheOldProgressUntilItsWriteStage)
{
    Rig rig;
    rig.Start(Pattern(2112));
    rig.EraseStage();
    rig.WriteAcks(16);
    ASSERT_TRUE(rig.updater.IsRunComplete());
    const auto progressTexts = rig.host.progressTexts;
    const auto positions = rig.host.progressPositions;
    rig.host.statusTexts.clear();
    rig.host.TakeFrames();

    ASSERT_EQ(rig.updater.StartUpdate(), UPDATE_STARTED);
    EXPECT_EQ(rig.host.TakeFrames(), std::vector<std::string>{EraseFrame("0000")});
    EXPECT_TRUE(rig.updater.IsRunActive());
    for (int i = 0; i < 16; ++i) {
        rig.Feed("*EOK-");
        rig.Tick();
    }
    EXPECT_EQ(rig.host.statusTexts, std::vector<std::string>{"Updata will take several minute!Please wait!"});
    EXPECT_EQ(rig.host.progressTexts, progressTexts);
    EXPECT_EQ(rig.host.progressPositions, positions);

    rig.Feed("*EOK-");
    rig.Tick();
    EXPECT_EQ(rig.updater.GetPage(), 0);
    EXPECT_EQ(rig.LastFrame().substr(0, 6), "+W0000");
    EXPECT_EQ(rig.host.progressTexts.back(), "write progress:0.00%");
    rig.WriteAcks(16);
    EXPECT_EQ(rig.host.messages, (std::vector<std::string>{"Updata success!", "Updata success!"}));
}

TEST(WholeFlashUpdater, RepliesAfterTheRunHasEndedSendNothing)
{
    Rig rig;
    // The largest run: a frame beyond it would name page 1,024, past the image.
    rig.Start(Pattern(FLASH_IMAGE_SIZE));
    rig.EraseStage();
    rig.WriteAcks(1024 * 16);
    ASSERT_TRUE(rig.updater.IsRunComplete());
    rig.host.TakeFrames();

    rig.Feed("*WER#");
    rig.Feed("*WOK-");
    rig.Tick(5);
    rig.Feed("*WOK-*WER#");
    rig.Tick(200);
    EXPECT_TRUE(rig.host.frames.empty());
    EXPECT_EQ(rig.updater.GetPage(), 1024);
    EXPECT_EQ(rig.host.messages.size(), 1u);
}

TEST(WholeFlashUpdater, SuccessBoxIsSafeAgainstTicksBytesAndANewRun)
{
    Rig rig;
    rig.Start(Pattern(2112));
    rig.EraseStage();
    rig.WriteAcks(15);
    rig.host.TakeFrames();

    // While the box is open ticks and replies keep arriving: nothing is sent.
    rig.host.onMessage = [&](const std::string&) {
        rig.Tick(10);
        rig.Feed("*WOK-");
        rig.Tick(10);
        rig.Feed("*WER#");
    };
    rig.WriteAcks(1);
    EXPECT_TRUE(rig.host.frames.empty());
    EXPECT_TRUE(rig.updater.IsReady());

    // A run started while the box is open keeps m_bReady clear when the box closes.
    rig.host.TakeFrames();
    rig.host.onMessage = nullptr;
    ASSERT_EQ(rig.updater.StartUpdate(), UPDATE_STARTED);
    rig.EraseStage();
    rig.WriteAcks(15);
    rig.host.onMessage = [&](const std::string&) {
        rig.Tick(151);
        ASSERT_TRUE(rig.updater.IsReady());
        ASSERT_EQ(rig.updater.StartUpdate(), UPDATE_STARTED);
    };
    rig.WriteAcks(1);
    EXPECT_FALSE(rig.updater.IsReady());
    EXPECT_EQ(rig.updater.GetStage(), STAGE_ERASE);
    EXPECT_TRUE(rig.updater.IsRunActive());
    EXPECT_EQ(rig.LastFrame(), EraseFrame("0000"));
}

TEST(WholeFlashUpdater, AcknowledgementSeenBeforeUpdateDoesNotCountForTheNewRun)
{
    Rig rig;
    rig.Start(Pattern(2112));
    rig.Tick(151);
    rig.Feed("*EOK-");
    // The press comes before the tick that would act on the old acknowledgement.
    ASSERT_EQ(rig.updater.StartUpdate(), UPDATE_STARTED);
    rig.host.TakeFrames();
    rig.Tick();
    EXPECT_TRUE(rig.host.frames.empty());
    EXPECT_EQ(rig.updater.GetEraseAddress(), 0);
}

TEST(WholeFlashUpdater, FileLoadedDuringARunIsUsedAndNeverDividesByZero)
{
    Rig rig;
    rig.Start(Pattern(2 * 2112));
    rig.EraseStage();
    rig.WriteAcks(3);

    // A new file during the write stage: the remaining frames carry its bytes.
    Image other(2 * 2112, 0x11);
    rig.Load(other);
    rig.WriteAcks(1);
    EXPECT_EQ(rig.LastFrame(), ExpectedWriteFrame(other, 0, 4));

    // An empty file: the percentage falls back to the run's page count.
    rig.updater.LoadFlashImage(nullptr, 0);
    rig.WriteAcks(12);
    EXPECT_EQ(rig.host.progressTexts.back(), "write progress:50.00%");
    EXPECT_EQ(rig.LastFrame(), ExpectedWriteFrame(Image(), 1, 0));
    rig.WriteAcks(16);
    EXPECT_EQ(rig.host.progressTexts.back(), "write progress:100.00%");
    EXPECT_TRUE(rig.updater.IsRunComplete());
    for (const std::string& text : rig.host.progressTexts)
        ASSERT_EQ(text.find_first_of("ni", 15), std::string::npos) << text;  // no "inf", no "nan"

    // A bigger file changes the percentage but not the bar.
    Rig second;
    second.Start(Pattern(2 * 2112));
    second.EraseStage();
    second.Load(Pattern(4 * 2112));
    second.WriteAcks(16);
    EXPECT_EQ(second.host.progressTexts.back(), "write progress:25.00%");
    EXPECT_EQ(second.host.progressPositions.back(), 50);
}

TEST(WholeFlashUpdater, EmptyFileLoadedDuringTheEraseStageEndsTheRunWithoutWriting)
{
    Rig rig;
    rig.Start(Pattern(2112));
    rig.Feed("*EOK-");
    rig.Tick();
    rig.updater.LoadFlashImage(nullptr, 0);
    for (int i = 0; i < 16; ++i) {
        rig.Feed("*EOK-");
        rig.Tick();
    }
    EXPECT_EQ(rig.LastFrame(), EraseFrame("0400"));
    EXPECT_EQ(rig.host.messages, std::vector<std::string>{"Update file has no data to write (empty or all 0xFF)!"});
    EXPECT_EQ(rig.host.statusTexts.back(), "Update file has no data to write (empty or all 0xFF)!");
    EXPECT_TRUE(rig.updater.IsReady());
    EXPECT_FALSE(rig.updater.IsRunActive());
    EXPECT_FALSE(rig.updater.IsRunComplete());
    rig.host.TakeFrames();
    rig.Feed("*EOK-*WOK-*WER#");
    rig.Tick(3);
    EXPECT_TRUE(rig.host.frames.empty());
    EXPECT_TRUE(rig.host.progressTexts.empty());
}
