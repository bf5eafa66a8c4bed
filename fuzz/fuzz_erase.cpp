// Fuzzes FlashEraser with random received bytes, ERASE presses and deliveries of the
// posted MSG_ERASE_NEXT (also stale and spurious ones).
// Invariant: no crash, and every frame is a 7-byte erase frame for an address of the
// chain (1,024..65,472 in steps of 64), sent only while a chain runs and never from
// inside the received-byte handler; the only message posted is MSG_ERASE_NEXT.
#include "erase/EraseTexts.h"
#include "erase/FlashEraser.h"

#include "fuzz/FuzzSupport.h"

#include "common/Hex.h"
#include "common/ToolHost.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

class CheckingHost : public ToolHost {
public:
    FlashEraser* eraser = nullptr;
    bool inByteHandler = false;
    int posted = 0;

    void SendBytes(const std::uint8_t* frame, std::size_t length) override
    {
        FUZZ_CHECK(!inByteHandler);
        FUZZ_CHECK(length == 7 && frame[0] == '+' && frame[1] == 'E' && frame[6] == '-');
        const long address = ParseHex16(frame + 2);
        FUZZ_CHECK(address >= 1024 && address <= 65472 && address % 64 == 0);
        FUZZ_CHECK(address == eraser->GetEraseAddress());
        FUZZ_CHECK(eraser->IsChainRunning());
    }
    void SendText(const char*) override { FUZZ_CHECK(false); }
    void StartTimer(unsigned, unsigned) override { FUZZ_CHECK(false); }
    void StopTimer(unsigned) override { FUZZ_CHECK(false); }
    void ShowMessage(const char* text) override
    {
        FUZZ_CHECK(std::strcmp(text, ERASE_TEXT_FINISH) == 0);
        FUZZ_CHECK(!eraser->IsChainRunning() && eraser->GetEraseAddress() == 65536);
    }
    void SetStatusText(const char*) override { FUZZ_CHECK(false); }
    void SetProgressText(const char*) override { FUZZ_CHECK(false); }
    void SetProgressPos(int) override { FUZZ_CHECK(false); }
    void GetProgressRange(int&, int&) override { FUZZ_CHECK(false); }
    void PostToSelf(unsigned message) override
    {
        FUZZ_CHECK(message == MSG_ERASE_NEXT);
        ++posted;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CheckingHost host;
    FlashEraser eraser(host);
    host.eraser = &eraser;
    auto feed = [&](std::uint8_t byte) {
        host.inByteHandler = true;
        eraser.ParseEraseAck(byte);
        host.inByteHandler = false;
    };
    for (std::size_t i = 0; i < size;) {
        const std::uint8_t op = data[i++];
        switch (op % 6) {
        case 0:
            feed(i < size ? data[i++] : 0);
            break;
        case 1:
            eraser.StartErase();
            break;
        case 2:
            // The message loop delivers what was posted.
            while (host.posted > 0) {
                --host.posted;
                eraser.OnEraseNext();
            }
            break;
        case 3:
            eraser.OnEraseNext();
            break;
        case 4:
            for (const char* p = (op & 8) ? "*EOK#" : "[*EOK-"; *p; ++p)
                feed(static_cast<std::uint8_t>(*p));
            break;
        case 5:
            // A well-behaved device for up to 4,080 acknowledgements.
            for (int n = (i < size ? data[i++] : 0) * 16; n > 0; --n) {
                for (const char* p = "*EOK#"; *p; ++p)
                    feed(static_cast<std::uint8_t>(*p));
                while (host.posted > 0) {
                    --host.posted;
                    eraser.OnEraseNext();
                }
            }
            break;
        }
    }
    return 0;
}
