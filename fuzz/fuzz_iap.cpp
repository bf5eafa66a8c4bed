// libFuzzer target over the updater's reply parser and UpdateJob, both variants.
//
// The input chooses the variant, the image size and then a stream of operations:
// whole or cut-off replies, raw bytes, ticks of timers 1, 2 and 4, the port opening
// and closing, and new images (an empty one among them). Messages may re-enter the
// job with ticks and bytes while they are "open".
//
// Invariants, checked on every frame and after every operation: no crash and no
// sanitizer report (the image buffer is allocated exactly, so a read past it shows);
// nothing is sent while the port is closed; every text frame is one the updater knows;
// every data frame is 262 bytes of '*', upper-case hex, checksum and '#', its checksum
// is the word sum of the 128 bytes it carries, and those bytes are block
// (total - left) of the current image, filled with 0xFF past its end; the block
// counters stay within 0 .. total; the progress position stays within the bar's range.
#include "iap/UpdateJob.h"

#include "common/Hex.h"
#include "fuzz/FuzzSupport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Reads the fuzzer's bytes; past the end it yields zeros.
class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size)
        : m_data(data),
          m_size(size)
    {
    }
    bool AtEnd() const { return m_pos >= m_size; }
    std::uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    unsigned Word() { return static_cast<unsigned>(Byte()) << 8 | Byte(); }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

std::vector<std::uint8_t> MakeImage(std::size_t length, std::uint8_t seed)
{
    std::vector<std::uint8_t> image(length);
    for (std::size_t i = 0; i < length; ++i)
        image[i] = static_cast<std::uint8_t>(i * 31 + seed + (i >> 7));
    return image;
}

const char* const REPLIES[] = {"+IAPC-", "+UPDS-", "+UPDF-", "+RECV-", "+DTOK-", "+DTNX-", "+DTER-", "+"};

class FuzzHost : public ToolHost {
public:
    UpdateJob* job = nullptr;
    InputReader* input = nullptr;
    std::vector<std::uint8_t> image;  // the bytes of the image the job holds now
    bool timerLengthRunning = false;
    bool reenterWithBytes = false;
    int messageDepth = 0;

    void SendBytes(const std::uint8_t* data, std::size_t length) override
    {
        FUZZ_CHECK(job->IsPortOpen(), "data frame sent while the port is closed");
        FUZZ_CHECK(length == IAP_FRAME_LENGTH, "data frame length");
        FUZZ_CHECK(data[0] == '*' && data[IAP_FRAME_LENGTH - 1] == '#', "data frame delimiters");
        const int block = job->GetTotalBlocks() - job->GetBlocksLeft();
        FUZZ_CHECK(block >= 0 && block < job->GetTotalBlocks(), "block index within the image");
        unsigned sum = 0;
        for (int j = 0; j < IAP_BLOCK_SIZE; ++j) {
            const int high = HexDigitValue(data[1 + 2 * j]);
            const int low = HexDigitValue(data[2 + 2 * j]);
            FUZZ_CHECK(high >= 0 && low >= 0, "data digits are upper-case hex");
            const unsigned b = static_cast<unsigned>(high << 4 | low);
            const std::size_t at = static_cast<std::size_t>(block) * IAP_BLOCK_SIZE + j;
            const unsigned expected = at < image.size() ? image[at] : IAP_FILL_BYTE;
            FUZZ_CHECK(b == expected, "data frame carries block (total - left) of the image");
            sum += (j % 2 == 0) ? b << 8 : b;
        }
        unsigned check = 0;
        for (int d = 0; d < 4; ++d) {
            const int v = HexDigitValue(data[257 + d]);
            FUZZ_CHECK(v >= 0, "checksum digits are upper-case hex");
            check = check << 4 | static_cast<unsigned>(v);
        }
        FUZZ_CHECK(check == (sum & 0xFFFF), "checksum is the word sum of the carried bytes");
    }
    void SendText(const char* text) override
    {
        FUZZ_CHECK(job->IsPortOpen(), "text frame sent while the port is closed");
        FUZZ_CHECK(std::strcmp(text, "*IAPK#") == 0 || std::strcmp(text, "*DNDA#") == 0 ||
                       std::strcmp(text, "*WAIT#") == 0 || std::strcmp(text, "*0000#") == 0,
                   "known text frame");
    }
    void StartTimer(unsigned id, unsigned periodMs) override
    {
        if (id == TIMER_LENGTH_FRAME) {
            FUZZ_CHECK(periodMs == LENGTH_FRAME_DELAY_MS, "length frame delay");
            timerLengthRunning = true;
        }
    }
    void StopTimer(unsigned id) override
    {
        if (id == TIMER_LENGTH_FRAME)
            timerLengthRunning = false;
    }
    void ShowMessage(const char* text) override
    {
        FUZZ_CHECK(text != nullptr && text[0] != '\0', "message text");
        // Ticks keep arriving while a modal message is open; some front ends may
        // deliver bytes too.
        if (messageDepth >= 3)
            return;
        ++messageDepth;
        job->OnTimerTick(TIMER_SEND);
        job->OnTimerTick(TIMER_PROGRESS);
        if (reenterWithBytes && !input->AtEnd())
            job->ParseReplyByte(input->Byte());
        --messageDepth;
    }
    void SetStatusText(const char*) override {}
    void SetProgressText(const char*) override {}
    void SetProgressPos(int pos) override { FUZZ_CHECK(pos >= 0 && pos <= 100, "progress within range"); }
    void GetProgressRange(int& lower, int& upper) override
    {
        lower = 0;
        upper = 100;
    }
    void PostToSelf(unsigned) override {}
};

void Feed(UpdateJob& job, const char* text, std::size_t count)
{
    for (std::size_t i = 0; i < count && text[i] != '\0'; ++i)
        job.ParseReplyByte(static_cast<std::uint8_t>(text[i]));
}

void CheckCounters(const UpdateJob& job)
{
    FUZZ_CHECK(job.GetTotalBlocks() >= 0 && job.GetTotalBlocks() <= IAP_MAX_BLOCKS, "total blocks");
    FUZZ_CHECK(job.GetBlocksLeft() >= 0 && job.GetBlocksLeft() <= job.GetTotalBlocks(),
               "blocks left within 0 .. total");
    FUZZ_CHECK(job.GetImageBlocks().size() == static_cast<std::size_t>(job.GetTotalBlocks()) * IAP_BLOCK_SIZE,
               "image buffer holds whole blocks");
    FUZZ_CHECK(job.GetParseState() >= PARSE_IDLE && job.GetParseState() <= PARSE_DTN, "parser state");
    const int pos = job.GetProgressPosition();
    FUZZ_CHECK(pos >= 0 && pos <= 100, "progress position");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    InputReader input(data, size);
    const std::uint8_t flags = input.Byte();
    FuzzHost host;
    UpdateJob job(host, (flags & 1) ? VARIANT_TIRELL : VARIANT_SOLVANE);
    host.job = &job;
    host.input = &input;
    host.reenterWithBytes = (flags & 4) != 0;
    job.Initialise();
    job.SetPortOpen((flags & 2) == 0);

    const std::size_t firstLength = input.Word() % 20001;
    std::vector<std::uint8_t> first = MakeImage(firstLength, flags);
    if (job.LoadImage(first) == LOAD_OK)
        host.image.assign(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(job.GetImageLength()));
    CheckCounters(job);

    while (!input.AtEnd()) {
        const std::uint8_t op = input.Byte();
        switch (op & 0x0F) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
        case 7:
            Feed(job, REPLIES[op & 0x07], 6);
            break;
        case 8:
            job.ParseReplyByte(input.Byte());
            break;
        case 9:
            job.OnTimerTick(TIMER_SEND);
            break;
        case 10:
            job.OnTimerTick(TIMER_PROGRESS);
            break;
        case 11:
            if (host.timerLengthRunning)
                job.OnTimerTick(TIMER_LENGTH_FRAME);
            break;
        case 12:
            job.SetPortOpen(!job.IsPortOpen());
            break;
        case 13: {
            // Sizes 0 .. 20000: empty images are refused and the previous one stays.
            const std::size_t length = input.Word() % 20001;
            std::vector<std::uint8_t> next = MakeImage(length, op);
            if (job.LoadImage(next) == LOAD_OK)
                host.image.assign(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(job.GetImageLength()));
            break;
        }
        case 14:
            // A reply cut off after 1 .. 5 characters.
            Feed(job, REPLIES[(op >> 4) & 0x07], 1 + (op >> 4) % 5);
            break;
        case 15:
            Feed(job, "-", 1);
            break;
        }
        CheckCounters(job);
        FUZZ_CHECK(job.OnTimerTick(TIMER_BLINK) == false, "timer 3 belongs to the front end");
    }
    return 0;
}
