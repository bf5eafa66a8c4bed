// Quarrow's peer: the whole-flash loader. Frames from the tool start with '+' and end
// with '-'; their second byte gives their length:
//   "+E" + 4 hex digits (erase address) + "-"                       7 bytes
//   "+W" + 4 hex digits (page) + 132 data + 2 checksum + "-"        141 bytes
//   "+N" + 132 data + 2 checksum + "-"                              137 bytes
// The checksum is the 16-bit word sum of the 132 data bytes, high byte first.
// Erase frames are answered "*EOK-" (or "*EOK" and another byte), good write frames "*WOK-", and a write frame
// that fails its checks (or is chosen for that fault) "*WER#", after which the tool
// sends the same frame again.
//
// The flash has 1,024 pages of 2,112 bytes. Erase address a erases pages a .. a+63
// (a runs 0, 64, .., 1,024; the last one lies past the end and erases nothing). A
// page is written by its page-start frame and fifteen continuation frames, in order,
// and only after it was erased.
#pragma once

#include "sim/LoaderModel.h"

#include <array>
#include <map>

namespace sim {

inline constexpr std::size_t WF_PAGE_SIZE = 2112;
inline constexpr std::size_t WF_SUB_SIZE = 132;
inline constexpr int WF_SUBS_PER_PAGE = 16;
inline constexpr long WF_PAGES = 1024;
inline constexpr long WF_ERASE_STEP = 64;
inline constexpr long WF_LAST_ERASE = 1024;
inline constexpr std::size_t WF_ERASE_FRAME = 7;
inline constexpr std::size_t WF_START_FRAME = 141;
inline constexpr std::size_t WF_CONT_FRAME = 137;
// A rejected frame that comes back unchanged this many times in a row is given up
// on: the loader stops answering rather than let the tool resend it for ever.
inline constexpr unsigned WF_MAX_BAD_REPEATS = 8;
// Content of a page never erased (the old flash) and of an erased one.
inline constexpr std::uint8_t WF_OLD_BYTE = 0x00;
inline constexpr std::uint8_t WF_ERASED_BYTE = 0xFF;

struct WholeFlashConfig {
    // Pages to expect; -1: unknown (the transfer never completes by itself).
    long expectedPages = -1;
    // The image the tool should send (the file's bytes); each page is checked against
    // it. With no page count given, the count is derived from it as the tool does:
    // trailing 0xFF bytes dropped, rounded up to whole pages.
    std::vector<std::uint8_t> expectedImage;
    bool hasExpectedImage = false;
    // Write frame (page * 16 + sub-frame) -> how many times in a row it is rejected.
    std::map<long, unsigned> rejectFrames;
    // The reply to an erase frame: "*EOK" and one more byte.
    std::string eraseAck = "*EOK-";
};

// The number of pages the tool writes for an image file of these bytes.
long WholeFlashPageCount(const std::vector<std::uint8_t>& image);

class WholeFlashLoader : public LoaderModel {
public:
    explicit WholeFlashLoader(WholeFlashConfig config);

    void OnByte(std::uint8_t byte, LoaderOutput& out) override;
    bool ExchangeStarted() const override { return m_stats.framesReceived > 0; }
    // Pages 0 .. the last page written.
    std::vector<std::uint8_t> FlashImage() const override;
    // Without a page count: complete if the last frame finished a page, acknowledged,
    // with no frame begun after it, the run's pages were 0 to that page, and that page
    // is recognisably the image's last: not blank (the tool never ends on a blank
    // page), and ending in erased flash (0xFF, where the image ended inside the page)
    // or the flash's last page. A run that stopped after another page cannot be told
    // from a finished one and is not counted complete.
    void OnLineClosed() override;

    long PagesWritten() const { return m_nPagesWritten; }
    long ExpectedPages() const { return m_config.expectedPages; }
    // True once the loader has given up on a frame that kept failing.
    bool GaveUp() const { return m_bGaveUp; }

private:
    enum class PageState : std::uint8_t { Old, Erased, Writing, Written };

    void OnFrame(LoaderOutput& out);
    void OnErase(LoaderOutput& out);
    void OnWrite(bool pageStart, LoaderOutput& out);
    // "*WER#" for a frame that failed its checks; gives up after repeats.
    void RejectBad(const std::string& why, LoaderOutput& out);
    void CompletePage();

    WholeFlashConfig m_config;
    std::string m_frame;
    std::size_t m_nFrameLength = 0;  // expected length of the frame being received; 0: none
    bool m_bInStray = false;
    bool m_bGaveUp = false;
    bool m_bLastAcked = false;  // the last frame received finished a page and was acknowledged
    unsigned m_nBadRepeats = 0;

    long m_nNextErase = 0;      // erase address expected next
    bool m_bEraseDone = false;  // the erase of address 1,024 was acknowledged
    long m_nPage = -1;          // page being written; -1: none
    int m_nSub = 0;             // next sub-frame of that page
    long m_nNextPage = 0;       // page expected next
    long m_nPagesWritten = 0;   // pages completed in this run
    long m_nLastPage = -1;      // highest page written
    std::map<long, unsigned> m_rejectsLeft;
    std::vector<std::uint8_t> m_flash;
    std::vector<PageState> m_pageState;
};

}  // namespace sim
