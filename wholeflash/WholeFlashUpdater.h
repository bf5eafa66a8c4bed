// WholeFlashUpdater: the update logic of Quarrow. It writes a whole-flash image of up
// to 1,024 pages of 2,112 bytes to the device in one run of two stages, both paced by
// the device's replies and a 1 ms timer tick:
//   erase stage: 17 erase frames "+E0000-" ... "+E0400-", each acknowledged "*EOK" + 1 byte;
//   write stage: every page as one page-start frame ('+', 'W', page in 4 hex digits,
//                132 data bytes, 16-bit sum high byte first, '-'; 141 bytes) and 15
//                continuation frames ('+', 'N', 132 data bytes, sum, '-'; 137 bytes),
//                each acknowledged "*WOK" + 1 byte or rejected "*WER#" (then sent again
//                at once).
// A run ends with "Updata success!" in the status line and in a message box.
// The host is told of each decision as a ToolEvent: STARTED (17 erase frames), every
// erase frame ACKNOWLEDGED, STAGE (the run's write frames), every write frame
// ACKNOWLEDGED or REJECTED, then COMPLETED before the success texts; REFUSED (with
// its reason) before a refusal's box.
//
// No window, no port, no clock: bytes, ticks and button presses come in through the
// operations below, everything goes out through the ToolHost. All calls come from the
// user-interface thread. ShowMessage may deliver ticks (and bytes) while it is open;
// every operation is safe to re-enter from there.
#pragma once

#include "common/ToolHost.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// The updater's pacing timer: id 1, period 1 ms, started by Initialise and never stopped.
constexpr unsigned TIMER_UPDATE = 1;
constexpr unsigned TIMER_UPDATE_PERIOD_MS = 1;

// Format of the image and the frames.
constexpr int FLASH_PAGE_SIZE = 2112;                                // bytes per page
constexpr int FLASH_SUBFRAME_SIZE = 132;                             // data bytes per write frame
constexpr int FLASH_SUBFRAMES_PER_PAGE = 16;                         // 16 x 132 = 2,112
constexpr int FLASH_MAX_PAGES = 1024;                                // image limit in pages
constexpr int FLASH_IMAGE_SIZE = FLASH_PAGE_SIZE * FLASH_MAX_PAGES;  // 2,162,688 bytes
constexpr int FLASH_ERASE_STEP = 64;                                 // erase address step
constexpr int FLASH_LAST_ERASE_ADDRESS = 1024;                       // 17 erase frames: 0..1,024
constexpr int FLASH_QUIET_TICKS = 150;                               // ticks before m_bReady is set again
constexpr std::size_t PAGE_START_FRAME_LENGTH = 141;
constexpr std::size_t PAGE_CONTINUATION_FRAME_LENGTH = 137;

// Which recogniser a received byte goes to. Never returns to STAGE_IDLE once a run
// has started.
enum FlashStage : std::uint8_t {
    STAGE_IDLE = 0,   // no run yet: received bytes are dropped
    STAGE_ERASE = 1,  // erase frames in flight
    STAGE_WRITE = 2,  // write frames in flight (and after a run has completed)
};

// Result of StartUpdate; 0 is success. Every refusal has shown its message box.
enum StartUpdateResult {
    UPDATE_STARTED = 0,
    UPDATE_REFUSED_NO_IMAGE = 1,     // "Please open update file first!"
    UPDATE_REFUSED_NOT_READY = 2,    // "Update is in progress or not found serial port!"
    UPDATE_REFUSED_EMPTY_IMAGE = 3,  // "Update file has no data to write (empty or all 0xFF)!"
};

class WholeFlashUpdater {
public:
    // Allocates the 2,162,688-byte image once, for the updater's life. The updater talks
    // to the outside world only through `host`, which must outlive it.
    explicit WholeFlashUpdater(ToolHost& host);

    // Start-up, called once at the end of the front end's initialisation (after the port
    // was opened and m_bReady set or cleared): reads the progress bar's range with
    // GetProgressRange and starts TIMER_UPDATE (StartTimer(TIMER_UPDATE, 1)). The front
    // end must not start the timer itself; it routes every tick of id 1 to OnTimerTick.
    void Initialise();

    // The whole content of the chosen file (the front end reads it). The first 2,162,688
    // bytes become the image, the rest of the image is 0xFF; the page count is the number
    // of pages up to the last byte that is not 0xFF. Shows nothing. May be called at any
    // time: during a run the remaining frames are built from the new bytes, and the
    // write stage takes the page count as it is when the erase stage ends (a run whose
    // image has no page left by then ends with the empty-image message instead).
    // `bytes` may be null when `length` is 0.
    void LoadFlashImage(const std::uint8_t* bytes, std::size_t length);

    // The UPDATE button. Refuses with a message box when no image was loaded, when the
    // loaded image has no page to write, or when m_bReady is clear (a run is being
    // answered, or no port); otherwise clears m_bReady and sends the erase frame for
    // address 0.
    StartUpdateResult StartUpdate();

    // One received byte (MSG_SERIAL_RX_CHAR): fed to the erase-stage or write-stage
    // recogniser by the stage; dropped before the first run and once a run has ended.
    // A write rejection "*WER#" sends the frame in flight again from inside this call.
    void OnReceivedByte(std::uint8_t byte);

    // One tick of TIMER_UPDATE: the quiet-device count, then the acknowledgement seen
    // since the last tick (sending the next frame), the wait notice, the progress line.
    // The tick that completes a run shows the "Updata success!" box.
    void OnTimerTick();

    // The port handling of the front end: set when a port was opened, cleared when it
    // was closed or could not be opened. StartUpdate begins a run only when it is set.
    void SetReady(bool bReady) { m_bReady = bReady; }
    bool IsReady() const { return m_bReady; }

    // Read-only views for front ends (a console progress bar) and tests.
    FlashStage GetStage() const { return m_nStage; }
    int GetPageCount() const { return m_nPageCount; }  // pages of the loaded image
    bool IsImageLoaded() const { return m_bImageLoaded; }
    int GetEraseAddress() const { return m_nEraseAddress; }  // of the last erase frame
    int GetPage() const { return m_nPage; }                  // page of the write frame in flight
    int GetSubFrame() const { return m_nSubFrame; }          // 0..15 within that page
    int GetRunPages() const { return m_nRunPages; }          // pages of the run's write stage
    bool IsRunActive() const { return m_nStage != STAGE_IDLE && !m_bRunEnded; }
    // The last run wrote its last page (a run ended for want of pages is not complete).
    bool IsRunComplete() const { return m_bRunEnded && m_nStage == STAGE_WRITE; }
    int GetParseState() const { return m_nParseState; }  // shared recogniser state
    int GetIdleTicks() const { return m_nIdleTicks; }
    // The image as loaded (FLASH_IMAGE_SIZE bytes).
    const std::uint8_t* GetImage() const { return m_image.get(); }

private:
    void ParseEraseReply(std::uint8_t byte);
    void ParseWriteReply(std::uint8_t byte);
    void SendEraseFrame(int address);
    void SendWriteFrame(int page);
    void ResendCurrent();
    void OnEraseAck();
    void OnWriteAck();
    void ShowWriteProgress();
    // The write frame in flight, 1-based within the run (page * 16 + sub-frame + 1),
    // and the run's write frames.
    long WriteFrameNumber() const;
    long RunWriteFrames() const;
    // Tells the host what was decided (ToolEvent).
    void Raise(ToolEventKind kind, ToolUnit unit, long number, long total);
    void Refuse(ToolRefusal refusal);
    // Ends a run that has no page to write (the image was replaced by an empty one
    // during the erase stage).
    void EndEmptyRun();

    ToolHost& m_host;
    std::unique_ptr<std::uint8_t[]> m_image;  // FLASH_IMAGE_SIZE bytes; page p at p * 2,112
    int m_nPageCount = 0;                     // pages to write, set by LoadFlashImage
    bool m_bImageLoaded = false;              // an image was loaded; never cleared
    bool m_bReady = false;                    // StartUpdate may begin a run
    FlashStage m_nStage = STAGE_IDLE;
    int m_nParseState = 0;          // state of whichever recogniser the stage selects
    int m_nEraseAddress = 0;        // of the last erase frame: 0..1,024 in steps of 64
    int m_nPage = 0;                // page of the write frame in flight
    int m_nSubFrame = 0;            // sub-frame 0..15 of that page
    int m_nRunPages = 0;            // m_nPageCount when the write stage began
    bool m_bReplyReceived = false;  // an acknowledgement was seen; the next tick acts on it
    bool m_bNoticeDue = false;      // the next tick shows the wait notice
    bool m_bProgressDue = false;    // the next tick refreshes the progress figures
    int m_nIdleTicks = 200;         // ticks since the device was last heard from
    int m_nRangeLower = 0;          // progress bar range, read by Initialise
    int m_nRangeUpper = 100;
    bool m_bRunEnded = false;   // the run sends no more frames (all pages written, or none to write)
    unsigned m_nRunNumber = 0;  // counts StartUpdate calls that began a run
};
