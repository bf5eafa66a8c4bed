// Fuzzes WholeFlashUpdater with random received bytes, ticks, button presses, port
// changes and images; ticks and bytes also arrive while a message box is "open".
// Invariant: no crash, no read outside the image (ASan), and every frame sent is
// well-formed: a 7-byte erase frame for an address 0..1,024 in steps of 64, or a
// 141/137-byte write frame for a page of the run, carrying that page's bytes of the
// image and their correct sum.
#include "wholeflash/WholeFlashUpdater.h"

#include "fuzz/FuzzSupport.h"

#include "common/Hex.h"
#include "common/ToolHost.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The page or address in a frame's four hex digits; they must be hex digits.
int Hex16(const std::uint8_t* p)
{
    const long value = ParseHex16(p);
    FUZZ_CHECK(value >= 0);
    return static_cast<int>(value);
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size)
        : m_data(data),
          m_size(size)
    {
    }
    bool Empty() const { return m_pos >= m_size; }
    std::uint8_t Next() { return m_pos < m_size ? m_data[m_pos++] : 0; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

class Harness;

class CheckingHost : public ToolHost {
public:
    WholeFlashUpdater* updater = nullptr;
    Harness* harness = nullptr;
    int depth = 0;

    void SendBytes(const std::uint8_t* data, std::size_t length) override;
    void SendText(const char*) override { FUZZ_CHECK(false); }
    void StartTimer(unsigned id, unsigned periodMs) override { FUZZ_CHECK(id == TIMER_UPDATE && periodMs == 1); }
    void StopTimer(unsigned) override { FUZZ_CHECK(false); }
    void ShowMessage(const char* text) override;
    void SetStatusText(const char* text) override { FUZZ_CHECK(text != nullptr); }
    void SetProgressText(const char* text) override
    {
        FUZZ_CHECK(std::strncmp(text, "write progress:", 15) == 0);
        FUZZ_CHECK(std::strpbrk(text + 15, "ni") == nullptr);  // no inf, no nan
    }
    void SetProgressPos(int) override {}
    void GetProgressRange(int& lower, int& upper) override
    {
        lower = rangeLower;
        upper = rangeUpper;
    }
    void PostToSelf(unsigned) override { FUZZ_CHECK(false); }

    int rangeLower = 0;
    int rangeUpper = 100;
};

class Harness {
public:
    Harness(const std::uint8_t* data, std::size_t size)
        : m_in(data, size)
    {
        m_host.updater = &m_updater;
        m_host.harness = this;
        if (m_in.Next() & 1) {
            m_host.rangeLower = static_cast<std::int8_t>(m_in.Next());
            m_host.rangeUpper = static_cast<std::int8_t>(m_in.Next()) * 1000;
        }
        m_updater.Initialise();
    }

    void Run()
    {
        while (!m_in.Empty())
            Step();
    }

    // One operation. Also called from inside an open message box, with fewer choices.
    void Step()
    {
        static const char* const REPLIES[] = {"*EOK-", "*WOK-", "*WER#", "*EOKx", "*WE", "*", "-"};
        const std::uint8_t op = m_in.Next();
        switch (op % 8) {
        case 0:
            m_updater.OnReceivedByte(m_in.Next());
            break;
        case 1:
            for (int n = m_in.Next() + 1; n > 0; --n)
                m_updater.OnTimerTick();
            break;
        case 2:
            m_updater.StartUpdate();
            break;
        case 3:
            Load();
            break;
        case 4:
            m_updater.SetReady(m_in.Next() & 1);
            break;
        case 5:
            for (const char* p = REPLIES[m_in.Next() % 7]; *p; ++p)
                m_updater.OnReceivedByte(static_cast<std::uint8_t>(*p));
            break;
        case 6:
            // A well-behaved device for a while: acknowledge and tick.
            for (int n = m_in.Next(); n > 0; --n) {
                const char* reply = m_updater.GetStage() == STAGE_WRITE ? "*WOK-" : "*EOK-";
                for (const char* p = reply; *p; ++p)
                    m_updater.OnReceivedByte(static_cast<std::uint8_t>(*p));
                m_updater.OnTimerTick();
            }
            break;
        case 7:
            m_updater.OnTimerTick();
            break;
        }
    }

    // Lets a few operations happen while a modal box is open.
    void WhileMessageOpen()
    {
        if (m_host.depth > 2)
            return;
        ++m_host.depth;
        for (int n = m_in.Next() % 4; n > 0 && !m_in.Empty(); --n)
            Step();
        --m_host.depth;
    }

private:
    void Load()
    {
        const std::uint8_t sizeCode = m_in.Next();
        std::size_t length;
        if (sizeCode == 255)
            length = FLASH_IMAGE_SIZE + 10;
        else if (sizeCode == 254)
            length = FLASH_IMAGE_SIZE;
        else
            length = static_cast<std::size_t>(sizeCode) * 97;
        const std::uint8_t fill = m_in.Next();
        const std::uint8_t last = m_in.Next();
        m_image.assign(length, fill);
        for (std::size_t i = 0; i < length && i < 64; ++i)
            m_image[i] = m_in.Next();
        if (length > 0)
            m_image[length - 1] = last;
        // Hand over an exactly sized copy so that ASan sees any read past the file.
        std::vector<std::uint8_t> file(m_image);
        m_updater.LoadFlashImage(file.empty() ? nullptr : file.data(), file.size());
    }

    Input m_in;
    CheckingHost m_host;
    WholeFlashUpdater m_updater{m_host};
    std::vector<std::uint8_t> m_image;
};

void CheckingHost::SendBytes(const std::uint8_t* frame, std::size_t length)
{
    FUZZ_CHECK(frame[0] == '+' && frame[length - 1] == '-');
    const std::uint8_t* image = updater->GetImage();
    const std::uint8_t* data;
    int page;
    switch (length) {
    case 7: {
        FUZZ_CHECK(frame[1] == 'E');
        const int address = Hex16(frame + 2);
        FUZZ_CHECK(address <= FLASH_LAST_ERASE_ADDRESS && address % FLASH_ERASE_STEP == 0);
        FUZZ_CHECK(address == updater->GetEraseAddress());
        FUZZ_CHECK(updater->GetStage() == STAGE_ERASE);
        return;
    }
    case 141:
        FUZZ_CHECK(frame[1] == 'W');
        page = Hex16(frame + 2);
        FUZZ_CHECK(updater->GetSubFrame() == 0);
        data = frame + 6;
        break;
    case 137:
        FUZZ_CHECK(frame[1] == 'N');
        page = updater->GetPage();
        FUZZ_CHECK(updater->GetSubFrame() > 0 && updater->GetSubFrame() < 16);
        data = frame + 2;
        break;
    default:
        FUZZ_CHECK(false);
        return;
    }
    FUZZ_CHECK(updater->GetStage() == STAGE_WRITE);
    FUZZ_CHECK(page == updater->GetPage());
    FUZZ_CHECK(page >= 0 && page < updater->GetRunPages() && page < FLASH_MAX_PAGES);
    const std::size_t offset = static_cast<std::size_t>(page) * FLASH_PAGE_SIZE +
                               static_cast<std::size_t>(updater->GetSubFrame()) * FLASH_SUBFRAME_SIZE;
    FUZZ_CHECK(std::memcmp(data, image + offset, FLASH_SUBFRAME_SIZE) == 0);
    const std::uint16_t sum = WordSum16(data, FLASH_SUBFRAME_SIZE);
    FUZZ_CHECK(data[132] == (sum >> 8) && data[133] == (sum & 0xFF));
}

void CheckingHost::ShowMessage(const char* text)
{
    FUZZ_CHECK(text != nullptr && text[0] != '\0');
    harness->WhileMessageOpen();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Harness harness(data, size);
    harness.Run();
    return 0;
}
