// quarrow: writes a whole-flash image to the device: 17 erase frames, then every page
// as sixteen frames of 132 bytes, paced by the device's replies and a 1 ms tick.
#include "console/DemoImage.h"
#include "common/FileReader.h"
#include "console/ToolRunner.h"
#include "wholeflash/WholeFlashTexts.h"
#include "wholeflash/WholeFlashUpdater.h"

namespace {

class QuarrowProgram : public ConsoleProgram {
public:
    explicit QuarrowProgram(ConsoleHost& host) : m_host(host), m_updater(host) {}

    int Baud() const override { return 115200; }
    sim::LoaderKind SimLoader() const override { return sim::LoaderKind::WholeFlash; }

    bool LoadImage(const std::string& path) override
    {
        if (path.empty()) {
            m_image = MakeDemoImage(DEMO_FLASH_IMAGE_LENGTH, 0x0A77);
        } else {
            // Bytes beyond the image limit are ignored, so they are not read either.
            FileHead head = ReadFileHead(path, FLASH_IMAGE_SIZE);
            if (!head.Ok()) {
                m_host.Reporter().Failure(std::string("quarrow: cannot read ") + path + ": " + head.error);
                return false;
            }
            m_image = std::move(head.bytes);
        }
        m_updater.LoadFlashImage(m_image.data(), m_image.size());
        return true;
    }

    void DescribeJob(sim::SimOptions& options) const override
    {
        options.expectedImage = m_image;
        options.hasExpectedImage = true;
    }

    bool Begin(bool portOpened) override
    {
        m_updater.SetReady(portOpened);
        if (!portOpened) {
            m_host.Reporter().Failure(FLASH_TEXT_PORT_NOT_FOUND);
            m_host.SetStatusText(FLASH_TEXT_PORT_FAILED);
            return false;
        }
        m_host.SetStatusText(FLASH_TEXT_PORT_OPENED);
        m_updater.Initialise();
        // UPDATE, pressed as soon as the port is open. A refusal (no image, nothing to
        // write) shows its text as a failure and ends the run.
        ConsoleHost::FailureScope failures(m_host);
        return m_updater.StartUpdate() == UPDATE_STARTED;
    }

    void OnByte(std::uint8_t byte) override { m_updater.OnReceivedByte(byte); }
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
            s.total = FLASH_LAST_ERASE_ADDRESS / FLASH_ERASE_STEP + 1;
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

private:
    ConsoleHost& m_host;
    WholeFlashUpdater m_updater;
    std::vector<std::uint8_t> m_image;
};

} // namespace

int main(int argc, char** argv)
{
    const ToolTraits traits{
        "quarrow",
        "Writes a whole-flash image to the device at 115200 baud: erases the flash, then\n"
        "writes every page of the image (up to 1,024 pages of 2,112 bytes).",
        true,
        "any file, taken as raw bytes (the first 2,162,688 of them);\n"
        "                     trailing 0xFF bytes are not written",
        "Without IMAGE a built-in 16-page image is written.",
        FLASH_TEXT_SUCCESS,
    };
    return RunConsoleProgram(traits, argc, argv,
                             [](ConsoleHost& host) { return std::make_unique<QuarrowProgram>(host); });
}
