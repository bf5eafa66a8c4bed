// quarrow: writes a whole-flash image to the device: 17 erase frames, then every page
// as sixteen frames of 132 bytes, paced by the device's replies and a 1 ms tick.
#include "console/DemoImage.h"
#include "console/ImageCheck.h"
#include "console/ToolRunner.h"
#include "wholeflash/WholeFlashTexts.h"
#include "wholeflash/WholeFlashUpdater.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr long ERASE_FRAMES = FLASH_LAST_ERASE_ADDRESS / FLASH_ERASE_STEP + 1;

class QuarrowProgram : public ConsoleProgram {
public:
    explicit QuarrowProgram(ConsoleHost& host) : m_host(host), m_updater(host) {}

    int Baud() const override { return 115200; }
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

    void OnByte(std::uint8_t byte) override
    {
        m_lastReply += static_cast<char>(byte);
        if (m_lastReply.size() > 5)
            m_lastReply.erase(0, m_lastReply.size() - 5);
        // A rejection makes the updater send the same frame again at once, without
        // limit; here the repeats are counted and shown, and end the run at the limit.
        if (m_lastReply == "*WER#" && m_updater.GetStage() == STAGE_WRITE && m_updater.IsRunActive() &&
            !CountRejection())
            return;
        m_updater.OnReceivedByte(byte);
    }

    void OnTimer(unsigned id) override
    {
        if (id == TIMER_UPDATE)
            m_updater.OnTimerTick();
    }

    ProgressSample Progress() const override
    {
        ProgressSample s;
        switch (m_updater.GetStage()) {
        case STAGE_IDLE:
            break;
        case STAGE_ERASE:
            // The frame for the current address is in flight; those before it are done.
            s.phase = "erasing";
            s.done = m_updater.GetEraseAddress() / FLASH_ERASE_STEP;
            s.total = ERASE_FRAMES;
            s.unitName = "frames";
            break;
        case STAGE_WRITE:
            s.phase = "writing";
            s.done = static_cast<long>(m_updater.GetPage()) * FLASH_SUBFRAMES_PER_PAGE + m_updater.GetSubFrame();
            s.total = static_cast<long>(m_updater.GetRunPages()) * FLASH_SUBFRAMES_PER_PAGE;
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
        if (m_updater.GetStage() != STAGE_WRITE) {
            f.total = m_updater.GetPageCount();
            return f;
        }
        f.total = m_updater.GetRunPages();
        f.done = std::min(m_updater.GetPage(), m_updater.GetRunPages());
        const long frames = static_cast<long>(m_updater.GetPage()) * FLASH_SUBFRAMES_PER_PAGE +
                            (m_updater.IsRunComplete() ? 0 : m_updater.GetSubFrame());
        f.bytes = std::min(frames, static_cast<long>(f.total) * FLASH_SUBFRAMES_PER_PAGE) * FLASH_SUBFRAME_SIZE;
        return f;
    }

private:
    std::string WriteFrameText(int page, int sub) const
    {
        char text[96];
        std::snprintf(text, sizeof text, "page %d of %d, write frame %d of %d", page + 1, m_updater.GetRunPages(),
                      sub + 1, FLASH_SUBFRAMES_PER_PAGE);
        return text;
    }

    // Counts a rejection of the frame in flight; false when the limit is reached (the
    // run has been ended and the frame must not be sent again).
    bool CountRejection()
    {
        const long frame = static_cast<long>(m_updater.GetPage()) * FLASH_SUBFRAMES_PER_PAGE + m_updater.GetSubFrame();
        if (frame == m_nRejectedFrame) {
            ++m_nRejections;
        } else {
            m_nRejectedFrame = frame;
            m_nRejections = 1;
        }
        const std::string where = WriteFrameText(m_updater.GetPage(), m_updater.GetSubFrame());
        if (m_nMaxRejects > 0 && m_nRejections >= m_nMaxRejects) {
            m_host.Fail("quarrow: the device rejected " + where + " (*WER#) " + std::to_string(m_nRejections) +
                            " times in a row (--max-rejects); giving up",
                        EXIT_STATUS_FAILURE);
            return false;
        }
        // The first rejection of a frame, then at 2, 4, 8, ... in a row.
        if ((m_nRejections & (m_nRejections - 1)) == 0)
            m_host.Reporter().Status("quarrow: " + where + " rejected by the device (*WER#), " +
                                     std::to_string(m_nRejections) + (m_nRejections == 1 ? " time" : " times in a row") +
                                     "; sending it again");
        return true;
    }

    ConsoleHost& m_host;
    WholeFlashUpdater m_updater;
    std::vector<std::uint8_t> m_image;
    bool m_bCut = false;
    long m_nMaxRejects = DEFAULT_MAX_REJECTS;
    std::string m_lastReply;     // the last five bytes received, to spot "*WER#"
    long m_nRejectedFrame = -1;  // the frame last rejected (page * 16 + sub-frame)
    long m_nRejections = 0;      // its rejections in a row
};

} // namespace

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
    };
    return RunConsoleProgram(traits, argc, argv,
                             [](ConsoleHost& host) { return std::make_unique<QuarrowProgram>(host); });
}
