// quarrow: writes a whole-flash image to the device: 17 erase frames, then every page
// as sixteen frames of 132 bytes, paced by the device's replies and a 1 ms tick.
#include "console/DemoImage.h"
#include "console/ImageCheck.h"
#include "console/ToolRunner.h"
#include "wholeflash/WholeFlashLine.h"
#include "wholeflash/WholeFlashTexts.h"
#include "wholeflash/WholeFlashUpdater.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr long ERASE_FRAMES = FLASH_LAST_ERASE_ADDRESS / FLASH_ERASE_STEP + 1;

class QuarrowProgram : public ConsoleProgram {
public:
    explicit QuarrowProgram(ConsoleHost& host)
        : m_host(host),
          m_updater(host)
    {
    }

    ToolLine Line() const override { return WHOLEFLASH_LINE; }
    sim::LoaderKind SimLoader() const override { return sim::LoaderKind::WholeFlash; }

    void Configure(const CommandLine& cl) override
    {
        m_bCut = cl.cut;
        m_nMaxRejects = cl.maxRejects;
    }

    bool LoadImage(const std::string& path) override
    {
        if (path.empty())
            m_image = MakeDemoImage(DEMO_FLASH_IMAGE_LENGTH, 0x0A77);
        else if (!ReadToolImage(m_host, "quarrow", path, FLASH_IMAGE_SIZE, m_bCut, m_image))
            return false;
        m_updater.LoadFlashImage(m_image.data(), m_image.size());
        // Refused here, before the port is opened, rather than by UPDATE.
        if (m_updater.GetPageCount() == 0) {
            m_host.Reporter().Failure("quarrow: " + path + " holds no data to write (it is empty, or all its " +
                                      Thousands(m_image.size()) + " bytes are 0xFF)");
            return false;
        }
        return true;
    }

    std::vector<std::uint8_t> ImageBytes() const override { return m_image; }
    long ReplyCount() const override { return ERASE_FRAMES + m_updater.GetPageCount() * FLASH_SUBFRAMES_PER_PAGE; }

    void DescribeJob(sim::SimOptions& options) const override
    {
        options.expectedImage = m_image;
        options.hasExpectedImage = true;
    }

    bool Begin() override
    {
        m_updater.SetReady(true);
        m_host.SetStatusText(FLASH_TEXT_PORT_OPENED);
        m_updater.Initialise();
        // UPDATE, pressed as soon as the port is open. A refusal shows its text as a
        // failure and ends the run.
        ConsoleHost::FailureScope failures(m_host);
        return m_updater.StartUpdate() == UPDATE_STARTED;
    }

    void OnByte(std::uint8_t byte) override { m_updater.OnReceivedByte(byte); }

    void OnEvent(const ToolEvent& event) override
    {
        // A rejection makes the updater send the same frame again at once, without
        // limit; here the repeats are counted and shown, and end the run at the limit
        // (the host then sends nothing more, so the frame does not go again).
        if (event.kind == TOOL_EVENT_REJECTED)
            CountRejection(event.number, event.total);
    }

    void OnTimer(unsigned id) override
    {
        if (id == TIMER_UPDATE)
            m_updater.OnTimerTick();
    }

    ProgressSample Progress() const override
    {
        ProgressSample s;
        const RunTally& tally = m_host.Tally();
        switch (tally.Unit()) {
        case UNIT_NONE:
        case UNIT_BLOCK:
            break;
        case UNIT_ERASE_FRAME:
            s.phase = "erasing";
            s.done = tally.Done();
            s.total = tally.Total();
            s.unitName = "frames";
            break;
        case UNIT_WRITE_FRAME:
            // The write stage's figures stay once the run has completed.
            s.phase = "writing";
            s.done = tally.Done();
            s.total = tally.Total();
            s.unitBytes = FLASH_SUBFRAME_SIZE;
            s.unitName = "frames";
            break;
        }
        return s;
    }

    const char* SuccessText() const override { return FLASH_TEXT_SUCCESS; }

    std::string Position() const override
    {
        char text[96];
        switch (m_updater.GetStage()) {
        case STAGE_IDLE:
            return "the start (no frame sent yet)";
        case STAGE_ERASE:
            std::snprintf(text, sizeof text, "erase frame %d of %ld (address 0x%04X)",
                          m_updater.GetEraseAddress() / FLASH_ERASE_STEP + 1, ERASE_FRAMES,
                          static_cast<unsigned>(m_updater.GetEraseAddress()));
            return text;
        case STAGE_WRITE:
            break;
        }
        return WriteFrameText(m_updater.GetPage(), m_updater.GetSubFrame());
    }

    RunFigures Figures() const override
    {
        RunFigures f;
        const RunTally& tally = m_host.Tally();
        if (tally.Unit() != UNIT_WRITE_FRAME) {
            f.total = m_updater.GetPageCount();
            return f;
        }
        // Write frames acknowledged, 16 a page.
        f.total = tally.Total() / FLASH_SUBFRAMES_PER_PAGE;
        f.done = tally.Done() / FLASH_SUBFRAMES_PER_PAGE;
        f.bytes = tally.Done() * FLASH_SUBFRAME_SIZE;
        return f;
    }

private:
    std::string WriteFrameText(int page, int sub) const { return WriteFrameText(page, sub, m_updater.GetRunPages()); }
    static std::string WriteFrameText(int page, int sub, int pages)
    {
        char text[96];
        std::snprintf(text, sizeof text, "page %d of %d, write frame %d of %d", page + 1, pages, sub + 1,
                      FLASH_SUBFRAMES_PER_PAGE);
        return text;
    }

    // Counts the updater's rejection of write frame `frame` (1-based) of `frames`; at
    // the limit the run ends.
    void CountRejection(long frame, long frames)
    {
        if (frame == m_nRejectedFrame) {
            ++m_nRejections;
        } else {
            m_nRejectedFrame = frame;
            m_nRejections = 1;
        }
        const std::string where = WriteFrameText(static_cast<int>((frame - 1) / FLASH_SUBFRAMES_PER_PAGE),
                                                 static_cast<int>((frame - 1) % FLASH_SUBFRAMES_PER_PAGE),
                                                 static_cast<int>(frames / FLASH_SUBFRAMES_PER_PAGE));
        const std::string reply = std::string(" (") + FLASH_REPLY_NAME_REJECTED + ")";
        if (m_nMaxRejects > 0 && m_nRejections >= m_nMaxRejects) {
            m_host.Fail("quarrow: the device rejected " + where + reply + " " + std::to_string(m_nRejections) +
                            " times in a row (--max-rejects); giving up",
                        EXIT_STATUS_FAILURE);
            return;
        }
        // The first rejection of a frame, then at 2, 4, 8, ... in a row.
        if ((m_nRejections & (m_nRejections - 1)) == 0)
            m_host.Reporter().Status("quarrow: " + where + " rejected by the device" + reply + ", " +
                                     std::to_string(m_nRejections) +
                                     (m_nRejections == 1 ? " time" : " times in a row") + "; sending it again");
    }

    ConsoleHost& m_host;
    WholeFlashUpdater m_updater;
    std::vector<std::uint8_t> m_image;
    bool m_bCut = false;
    long m_nMaxRejects = DEFAULT_MAX_REJECTS;
    long m_nRejectedFrame = -1;  // the write frame last rejected, 1-based in the run
    long m_nRejections = 0;      // its rejections in a row
};

}  // namespace

int main(int argc, char** argv)
{
    const ToolTraits traits{
        "quarrow",
        "Writes a whole-flash image to the device at 115200 baud: erases the flash, then\n"
        "writes every page of the image (up to 1,024 pages of 2,112 bytes).",
        true,
        "any file, taken as raw bytes, at most 2,162,688 bytes (see\n"
        "                     --cut); trailing 0xFF bytes are not written",
        "Without IMAGE a built-in 16-page image is written.",
        FLASH_TEXT_SUCCESS,
        "pages",
        true,
        false,
    };
    return RunConsoleProgram(traits, argc, argv,
                             [](ConsoleHost& host) { return std::make_unique<QuarrowProgram>(host); });
}
