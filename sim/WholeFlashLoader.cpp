#include "sim/WholeFlashLoader.h"

#include "common/Hex.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

constexpr std::size_t FLASH_BYTES = WF_PAGE_SIZE * WF_PAGES;

std::string Hex4(long value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04lX", value);
    return text;
}

std::string PageText(long page)
{
    return "page " + std::to_string(page);
}

}  // namespace

long WholeFlashPageCount(const std::vector<std::uint8_t>& image)
{
    std::size_t n = std::min(image.size(), FLASH_BYTES);
    while (n > 0 && image[n - 1] == WF_ERASED_BYTE)
        --n;
    return static_cast<long>((n + WF_PAGE_SIZE - 1) / WF_PAGE_SIZE);
}

WholeFlashLoader::WholeFlashLoader(WholeFlashConfig config)
    : m_config(std::move(config)),
      m_rejectsLeft(m_config.rejectFrames),
      m_flash(FLASH_BYTES, WF_OLD_BYTE),
      m_pageState(WF_PAGES, PageState::Old)
{
    if (m_config.expectedImage.size() > FLASH_BYTES)
        m_config.expectedImage.resize(FLASH_BYTES);
    if (m_config.expectedPages < 0 && m_config.hasExpectedImage)
        m_config.expectedPages = WholeFlashPageCount(m_config.expectedImage);
}

void WholeFlashLoader::OnByte(std::uint8_t byte, LoaderOutput& out)
{
    if (m_frame.empty()) {
        if (byte == '+') {
            m_bInStray = false;
            m_frame.assign(1, '+');
        } else if (!m_bInStray) {
            m_bInStray = true;
            const char c = static_cast<char>(byte);
            AddError("byte " + Printable(std::string_view(&c, 1)) + " outside a frame");
        }
        return;
    }
    if (m_frame.size() == 1) {
        switch (byte) {
        case 'E':
            m_nFrameLength = WF_ERASE_FRAME;
            break;
        case 'W':
            m_nFrameLength = WF_START_FRAME;
            break;
        case 'N':
            m_nFrameLength = WF_CONT_FRAME;
            break;
        default: {
            const char c = static_cast<char>(byte);
            AddError("unknown frame type " + Printable(std::string_view(&c, 1)));
            m_frame.clear();
            m_bInStray = true;
            if (byte == '+')
                OnByte(byte, out);
            return;
        }
        }
    }
    m_frame += static_cast<char>(byte);
    if (m_frame.size() == m_nFrameLength) {
        OnFrame(out);
        m_frame.clear();
        m_nFrameLength = 0;
    }
}

void WholeFlashLoader::OnFrame(LoaderOutput& out)
{
    m_bLastAcked = false;
    const char type = m_frame[1];
    if (m_bGaveUp) {
        CountFrame(std::string(1, type) + " frame, not answered (the loader gave up)");
        return;
    }
    if (type == 'E') {
        OnErase(out);
    } else {
        OnWrite(type == 'W', out);
    }
}

void WholeFlashLoader::OnErase(LoaderOutput& out)
{
    const long address = ParseHex16(reinterpret_cast<const std::uint8_t*>(m_frame.data()) + 2);
    if (address < 0 || m_frame.back() != '-') {
        CountFrame("bad erase frame " + Printable(m_frame));
        AddError("malformed erase frame " + Printable(m_frame));
        return;  // the erase stage has no rejection: not answered
    }
    CountFrame("E " + Hex4(address));

    if (m_stats.complete) {
        AddError("erase frame " + Hex4(address) + " after the transfer was complete");
    } else if (address == 0) {
        // A run starts (or starts again) with erase address 0.
        m_bEraseDone = false;
        m_nPage = -1;
        m_nSub = 0;
        m_nNextPage = 0;
        m_nPagesWritten = 0;
    } else if (address != m_nNextErase) {
        AddError("erase address " + Hex4(address) + " out of order (expected " + Hex4(m_nNextErase) + ")");
    }
    if (address % WF_ERASE_STEP != 0 || address > WF_LAST_ERASE)
        AddError("erase address " + Hex4(address) + " is not one of 0, 64, .., 1024");

    const long first = std::min(address, WF_PAGES);
    const long last = std::min(address + WF_ERASE_STEP, WF_PAGES);
    for (long page = first; page < last; ++page) {
        m_pageState[page] = PageState::Erased;
        std::fill_n(m_flash.begin() + page * WF_PAGE_SIZE, WF_PAGE_SIZE, WF_ERASED_BYTE);
    }
    m_nNextErase = address + WF_ERASE_STEP;
    if (address == WF_LAST_ERASE) {
        m_bEraseDone = true;
        m_nNextPage = 0;
        m_nPage = -1;
        if (m_config.expectedPages == 0)
            m_stats.complete = true;
    }
    out.Reply(m_config.eraseAck);
}

void WholeFlashLoader::OnWrite(bool pageStart, LoaderOutput& out)
{
    const auto* frame = reinterpret_cast<const std::uint8_t*>(m_frame.data());
    const std::size_t dataAt = pageStart ? 6 : 2;
    const std::uint8_t* data = frame + dataAt;
    const long page = pageStart ? ParseHex16(frame + 2) : m_nPage;
    const long index = page >= 0 ? page * WF_SUBS_PER_PAGE + (pageStart ? 0 : m_nSub) : -1;
    const std::string what = pageStart ? (page >= 0 ? "W " + Hex4(page) : std::string("W ????"))
                                       : "N " + std::to_string(m_nSub) + " of page " + std::to_string(page);
    CountFrame(what);

    if (m_frame.back() != '-') {
        RejectBad(what + ": frame does not end with '-'", out);
        return;
    }
    if (page < 0 && pageStart) {
        RejectBad(what + ": page number is not four upper-case hex digits", out);
        return;
    }
    const unsigned sent = frame[dataAt + WF_SUB_SIZE] * 256u + frame[dataAt + WF_SUB_SIZE + 1];
    if (sent != WordSum16(data, WF_SUB_SIZE)) {
        RejectBad(what + ": checksum does not match the data", out);
        return;
    }
    m_nBadRepeats = 0;

    if (index >= 0) {
        auto rule = m_rejectsLeft.find(index);
        if (rule != m_rejectsLeft.end() && rule->second > 0) {
            --rule->second;
            m_frameLog.back() += " (answered *WER# on purpose)";
            out.Reply("*WER#");
            return;
        }
    }

    if (m_stats.complete)
        AddError(what + " after the transfer was complete");

    if (pageStart) {
        if (!m_bEraseDone)
            AddError(what + " before the erase stage ended");
        if (m_nPage >= 0 && m_nSub < WF_SUBS_PER_PAGE)
            AddError(PageText(m_nPage) + " left with " + std::to_string(m_nSub) + " of 16 frames");
        if (page != m_nNextPage)
            AddError(PageText(page) + " out of order (expected " + std::to_string(m_nNextPage) + ")");
        m_nNextPage = page + 1;
        if (page >= WF_PAGES) {
            AddError(PageText(page) + " lies past the end of the flash");
            m_nPage = -1;
            out.Reply("*WOK-");
            return;
        }
        if (m_pageState[page] != PageState::Erased)
            AddError(PageText(page) + " written without being erased");
        m_pageState[page] = PageState::Writing;
        m_nPage = page;
        m_nSub = 0;
    } else if (m_nPage < 0 || m_nSub >= WF_SUBS_PER_PAGE) {
        AddError("continuation frame without a page-start frame");
        out.Reply("*WOK-");
        return;
    }

    std::copy(data, data + WF_SUB_SIZE, m_flash.begin() + m_nPage * WF_PAGE_SIZE + m_nSub * WF_SUB_SIZE);
    m_stats.bytesWritten += WF_SUB_SIZE;
    if (++m_nSub == WF_SUBS_PER_PAGE) {
        CompletePage();
        m_bLastAcked = true;
    }
    out.Reply("*WOK-");
}

void WholeFlashLoader::RejectBad(const std::string& why, LoaderOutput& out)
{
    AddError(why);
    if (++m_nBadRepeats > WF_MAX_BAD_REPEATS) {
        m_bGaveUp = true;
        AddError("gave up after " + std::to_string(WF_MAX_BAD_REPEATS) + " bad frames in a row");
        return;
    }
    out.Reply("*WER#");
}

void WholeFlashLoader::CompletePage()
{
    const long page = m_nPage;
    m_pageState[page] = PageState::Written;
    ++m_nPagesWritten;
    m_nLastPage = std::max(m_nLastPage, page);
    if (m_config.hasExpectedImage) {
        const std::size_t begin = page * WF_PAGE_SIZE;
        for (std::size_t i = 0; i < WF_PAGE_SIZE; ++i) {
            const std::uint8_t want =
                begin + i < m_config.expectedImage.size() ? m_config.expectedImage[begin + i] : WF_ERASED_BYTE;
            if (m_flash[begin + i] != want) {
                AddError(PageText(page) + " differs from the image at offset " + std::to_string(begin + i));
                break;
            }
        }
    }
    if (m_config.expectedPages >= 0 && m_nPagesWritten >= m_config.expectedPages)
        m_stats.complete = true;
}

void WholeFlashLoader::OnLineClosed()
{
    if (m_config.expectedPages >= 0 || !m_bEraseDone || m_nPagesWritten == 0 || !m_bLastAcked || m_nPage < 0)
        return;
    const long page = m_nPage;
    if (!m_frame.empty()) {
        m_stats.note = "the tool stopped in the middle of a frame after " + PageText(page);
        return;
    }
    if (m_nPagesWritten != page + 1) {
        m_stats.note = "the run's pages were not 0 to " + std::to_string(page) + ", each once";
        return;
    }
    const auto begin = m_flash.begin() + page * static_cast<long>(WF_PAGE_SIZE);
    const auto end = begin + static_cast<long>(WF_PAGE_SIZE);
    if (std::all_of(begin, end, [](std::uint8_t b) { return b == WF_ERASED_BYTE; })) {
        m_stats.note = PageText(page) + ", the last one written, is blank: the tool never ends a run on one";
        return;
    }
    if (page != WF_PAGES - 1 && *(end - 1) != WF_ERASED_BYTE) {
        m_stats.note = PageText(page) +
                       ", the last one written, ends in data, not in erased flash: a run that stopped early looks "
                       "the same (--pages or --expect tell the loader the image's size)";
        return;
    }
    m_stats.complete = true;
}

std::vector<std::uint8_t> WholeFlashLoader::FlashImage() const
{
    return std::vector<std::uint8_t>(m_flash.begin(), m_flash.begin() + (m_nLastPage + 1) * WF_PAGE_SIZE);
}

}  // namespace sim
