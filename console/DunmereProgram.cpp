// dunmere: erases the device's flash from erase address 1,024 upward, one erase frame
// per acknowledgement, 1,008 frames in all, ending with "Finish".
#include "console/ToolRunner.h"
#include "erase/EraseLine.h"
#include "erase/EraseTexts.h"
#include "erase/FlashEraser.h"

#include <cstdio>

namespace {

class DunmereProgram : public ConsoleProgram {
public:
    explicit DunmereProgram(ConsoleHost& host)
        : m_host(host),
          m_eraser(host)
    {
    }

    ToolLine Line() const override { return ERASE_LINE; }
    sim::LoaderKind SimLoader() const override { return sim::LoaderKind::Erase; }
    long ReplyCount() const override { return ERASE_CHAIN_LENGTH; }

    bool Begin() override
    {
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
        const RunTally& tally = m_host.Tally();
        if (!tally.IsRunning())
            return s;
        s.phase = "erasing";
        s.done = tally.Done();
        s.total = tally.Total();
        s.unitBytes = ERASE_STEP;  // each frame erases 64 bytes
        s.unitName = "frames";
        return s;
    }

    std::string Position() const override
    {
        if (!m_eraser.IsChainRunning() && m_eraser.GetEraseAddress() == 0)
            return "the start (no frame sent yet)";
        const int address = m_eraser.GetEraseAddress();
        char text[64];
        std::snprintf(text, sizeof text, "erase frame %d of %ld (address 0x%04X)",
                      (address - ERASE_START_ADDRESS) / ERASE_STEP + 1, ERASE_CHAIN_LENGTH,
                      static_cast<unsigned>(address & 0xFFFF));
        return text;
    }

    RunFigures Figures() const override
    {
        RunFigures f;
        f.total = ERASE_CHAIN_LENGTH;
        f.done = m_host.Tally().Done();
        f.bytes = f.done * ERASE_STEP;
        return f;
    }

    const char* SuccessText() const override { return ERASE_TEXT_FINISH; }

private:
    ConsoleHost& m_host;
    FlashEraser m_eraser;
};

}  // namespace

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
        "frames",
        false,
        false,
    };
    return RunConsoleProgram(traits, argc, argv,
                             [](ConsoleHost& host) { return std::make_unique<DunmereProgram>(host); });
}
