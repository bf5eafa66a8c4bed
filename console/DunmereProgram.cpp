// dunmere: erases the device's flash from erase address 1,024 upward, one erase frame
// per acknowledgement, 1,008 frames in all, ending with "Finish".
#include "console/ToolRunner.h"
#include "erase/EraseTexts.h"
#include "erase/FlashEraser.h"

namespace {

constexpr long ERASE_CHAIN_FRAMES = (ERASE_END_ADDRESS - ERASE_START_ADDRESS) / ERASE_STEP;

class DunmereProgram : public ConsoleProgram {
public:
    explicit DunmereProgram(ConsoleHost& host) : m_host(host), m_eraser(host) {}

    int Baud() const override { return 115200; }
    sim::LoaderKind SimLoader() const override { return sim::LoaderKind::Erase; }

    bool Begin(bool portOpened) override
    {
        if (!portOpened) {
            m_host.Reporter().Failure(ERASE_TEXT_PORT_NOT_FOUND);
            return false;
        }
        m_host.ShowMessage(ERASE_TEXT_PORT_READY);
        // ERASE, pressed as soon as the port is open.
        m_eraser.StartErase();
        return true;
    }

    void OnByte(std::uint8_t byte) override { m_eraser.ParseEraseAck(byte); }
    void OnTimer(unsigned) override {}
    void OnPosted(unsigned message) override
    {
        if (message == MSG_ERASE_NEXT)
            m_eraser.OnEraseNext();
    }

    ProgressSample Progress() const override
    {
        ProgressSample s;
        if (!m_eraser.IsChainRunning())
            return s;
        // The frame for the current address is in flight; those before it are done.
        s.phase = "erasing";
        s.done = (m_eraser.GetEraseAddress() - ERASE_START_ADDRESS) / ERASE_STEP;
        s.total = ERASE_CHAIN_FRAMES;
        s.unitName = "frames";
        return s;
    }

    const char* SuccessText() const override { return ERASE_TEXT_FINISH; }

private:
    ConsoleHost& m_host;
    FlashEraser m_eraser;
};

} // namespace

int main(int argc, char** argv)
{
    const ToolTraits traits{
        "dunmere",
        "Erases the device's flash at 115200 baud: one erase frame for every 64 bytes\n"
        "from address 1,024 to 65,472 (1,008 frames), each after the device's\n"
        "acknowledgement of the one before.",
        false,
        "",
        "",
        ERASE_TEXT_FINISH,
    };
    return RunConsoleProgram(traits, argc, argv,
                             [](ConsoleHost& host) { return std::make_unique<DunmereProgram>(host); });
}
