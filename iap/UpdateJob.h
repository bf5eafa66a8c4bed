// UpdateJob: the in-application-programming update of the Solvane and Tirell tools.
//
// The device's loader leads the exchange. It sends six-character replies ("+", four
// capital letters, "-"); ParseReplyByte recognises them one byte at a time and sets
// the step, the phase and the block counters at a reply's fourth letter. At the "-"
// it either raises a send request or, when no block is left, completes the update
// with a message. The send timer (TIMER_SEND) picks the request up and sends the frame
// the step calls for; the one-shot TIMER_LENGTH_FRAME sends the length frame 20 ms
// after a command frame; TIMER_PROGRESS moves the progress bar after each data frame.
//
// One implementation serves both tools; the variant chooses the reply set
// (Tirell: "+UPDF-" starts a download, "+UPDS-" asks for "*WAIT#") and the
// completion text ("Update Complete!" / "Update complete!").
//
// Everything here runs on the user-interface thread and reaches the outside only
// through ToolHost: no platform header, no I/O except reading the chosen image file.
// At each reply's fourth letter, where the parser decides, the host is told what it
// decided (ToolEvent, counted in blocks): STARTED at a start reply, STAGE at "+RECV-",
// ACKNOWLEDGED at "+DTOK-" / "+DTNX-", DATA_ERROR at "+DTER-", WAIT at Tirell's
// "+UPDS-"; COMPLETED at the '-' that completes the update, before its message.
//
// Wiring a front end:
//   UpdateJob job(host, VARIANT_SOLVANE);
//   job.Initialise();                   // reads the bar's range, starts timers 2 and 4
//   job.SetPortOpen(portOpened);        // after every attempt to open the port
//   job.LoadImageFile(path);            // on the Open file command; 0 on success
//   job.ParseReplyByte(byte);           // for every byte received from the port
//   job.OnTimerTick(id);                // for every tick of timers 1, 2 and 4
// The front end runs timer 3 (TIMER_BLINK, 600 ms) itself if it blinks a button.
#pragma once

#include "common/ToolHost.h"
#include "iap/IapFrames.h"
#include "iap/IapVariant.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

// Window timer ids of the updater and their periods.
inline constexpr unsigned TIMER_LENGTH_FRAME = 1;  // one-shot: the length frame
inline constexpr unsigned TIMER_SEND = 2;          // picks up send requests
inline constexpr unsigned TIMER_BLINK = 3;         // the front end's Open file blinking
inline constexpr unsigned TIMER_PROGRESS = 4;      // moves the progress bar
inline constexpr unsigned LENGTH_FRAME_DELAY_MS = 20;
inline constexpr unsigned SEND_PERIOD_MS = 1;
inline constexpr unsigned BLINK_PERIOD_MS = 600;
inline constexpr unsigned PROGRESS_PERIOD_MS = 1;

// What SendPending does when the send timer finds a request.
enum IapStep {
    STEP_IDLE = 0,         // nothing
    STEP_COMMAND = 1,      // "*IAPK#" or "*DNDA#", then the length frame 20 ms later
    STEP_FIRST_BLOCK = 2,  // the data frame of block 0
    STEP_DATA_ERROR = 3,   // nothing: the device reported a bad block
    STEP_NEXT_BLOCK = 4,   // the data frame of block TotalBlocks - BlocksLeft
    STEP_WAIT = 5,         // "*WAIT#" (Tirell only)
};

// Which replies the parser accepts: "+RECV-" only when started, the block replies
// ("+DTOK-", "+DTNX-", "+DTER-") only when transferring. Never goes back.
enum IapPhase {
    PHASE_NONE = 0,
    PHASE_STARTED = 1,
    PHASE_TRANSFER = 2,
};

// States of the reply parser; the value is the number of the state-table row.
enum IapParseState {
    PARSE_IDLE = 0,   // waiting for '+'
    PARSE_PLUS = 1,   // "+"
    PARSE_I = 2,      // "+I"
    PARSE_IA = 3,     // "+IA"
    PARSE_IAP = 4,    // "+IAP"
    PARSE_CLOSE = 5,  // four letters recognised, waiting for '-'
    PARSE_U = 6,      // "+U"
    PARSE_UP = 7,     // "+UP"
    PARSE_UPD = 8,    // "+UPD"
    PARSE_R = 9,      // "+R"
    PARSE_RE = 10,    // "+RE"
    PARSE_REC = 11,   // "+REC"
    PARSE_D = 12,     // "+D"
    PARSE_DT = 13,    // "+DT"
    PARSE_DTE = 14,   // "+DTE"
    PARSE_DTO = 15,   // "+DTO"
    PARSE_DTN = 16,   // "+DTN"
};

// Result of loading an image. On any failure the previous image and counters stay.
enum IapLoadResult {
    LOAD_OK = 0,
    LOAD_OPEN_FAILED = 1,  // the file could not be opened (missing, denied, a folder)
    LOAD_READ_FAILED = 2,  // the file opened but reading it failed
    LOAD_EMPTY = 3,        // the file holds no byte: there would be nothing to send
};

// The text LoadImageFile shows for a failed load, followed by the file's path.
const char* LoadFailureText(IapLoadResult result);

class UpdateJob {
public:
    // The job keeps a reference to `host`, which must outlive it.
    UpdateJob(ToolHost& host, IapVariant variant);
    UpdateJob(const UpdateJob&) = delete;
    UpdateJob& operator=(const UpdateJob&) = delete;

    // Start-up: reads the progress bar's range from the host and starts TIMER_SEND and
    // TIMER_PROGRESS (1 ms each), which then run for the life of the front end.
    // Until it is called the range is taken as 0 .. 100.
    void Initialise();

    // Whether the port is open; set by the front end after every opening attempt.
    // Frames are handed to the host only while it is set.
    void SetPortOpen(bool open) { m_bPortOpen = open; }
    bool IsPortOpen() const { return m_bPortOpen; }

    // Reads the file at `path` (UTF-8) as raw bytes (a ".hex" file is not decoded: its
    // characters are the image) and loads its first IAP_IMAGE_LIMIT bytes as the
    // image; the rest of a longer file is dropped. Both block counters are set to
    // the new block count, also in the middle of an update; step, phase, parser state
    // and sent count stay. On failure the host is shown LoadFailureText(result)
    // followed by the path, and the previous image and counters stay.
    IapLoadResult LoadImageFile(const std::string& path);
    // The same with bytes already in memory; shows no message (LOAD_EMPTY for none).
    IapLoadResult LoadImage(std::span<const std::uint8_t> bytes);

    // Consumes one byte received from the device. May show the completion message
    // (modal) before it returns; timer ticks may reach OnTimerTick meanwhile.
    void ParseReplyByte(std::uint8_t byte);

    // Performs the action of timer `id` (TIMER_LENGTH_FRAME, TIMER_SEND or
    // TIMER_PROGRESS) and returns true; returns false for any other id.
    bool OnTimerTick(unsigned id);

    // Read-only view for front ends and tests.
    IapVariant GetVariant() const { return m_nVariant; }
    // "Update Complete!" in Solvane, "Update complete!" in Tirell.
    const char* GetCompletionText() const;
    bool HasImage() const { return m_nTotalBlocks > 0; }
    std::size_t GetImageLength() const { return m_nImageLength; }
    // The image buffer: whole blocks, the last one filled with IAP_FILL_BYTE.
    std::span<const std::uint8_t> GetImageBlocks() const;
    int GetTotalBlocks() const { return m_nTotalBlocks; }
    // Blocks not yet acknowledged; GetTotalBlocks() - GetBlocksLeft() have been.
    int GetBlocksLeft() const { return m_nBlocksLeft; }
    // Data frames sent in this update (1 from the start reply until the second frame).
    int GetSentCount() const { return m_nSentCount; }
    // True from a start reply until the update completes.
    bool IsUpdating() const { return m_bUpdating; }
    IapStep GetStep() const { return m_nStep; }
    IapPhase GetPhase() const { return m_nPhase; }
    IapParseState GetParseState() const { return m_nParseState; }
    bool IsDownloadCommand() const { return m_bDownloadCommand; }
    bool IsSendRequested() const { return m_bSendRequest; }
    // The progress bar position for the current sent count, within the bar's range.
    int GetProgressPosition() const;

private:
    // Tells the host what the parser decided (ToolEvent), counted in blocks.
    void Raise(ToolEventKind kind, long number);
    // The 1-based number of the block the device is answering now.
    long BlockInFlight() const;
    // The effects of a start reply at its fourth letter.
    void BeginUpdate(bool downloadCommand);
    // The effects of "+DTOK" / "+DTNX"; false (nothing changed) when no block is left
    // to acknowledge, so that the block index never leaves 0 .. total - 1.
    bool AcknowledgeBlock();
    // The closing '-' of a recognised reply.
    void CloseReply();
    // Performs the action of the current step; run only from the send timer.
    void SendPending();
    // Hands the data frame of `block` to the host if it lies within the image.
    bool SendDataFrame(int block);

    ToolHost& m_host;
    const IapVariant m_nVariant;

    std::unique_ptr<std::uint8_t[]> m_pImage;  // m_nTotalBlocks whole blocks
    std::size_t m_nImageLength = 0;            // bytes of the image before the filler
    int m_nTotalBlocks = 0;
    int m_nBlocksLeft = 0;
    int m_nSentCount = 1;
    IapStep m_nStep = STEP_IDLE;
    IapPhase m_nPhase = PHASE_NONE;
    IapParseState m_nParseState = PARSE_IDLE;
    bool m_bSendRequest = false;
    bool m_bProgressDue = false;
    bool m_bDownloadCommand = false;
    bool m_bUpdating = false;
    std::uint16_t m_nLengthWord = 0;  // nothing changes it: the length frame is "*0000#"
    bool m_bPortOpen = false;
    int m_nRangeLower = 0;
    int m_nRangeUpper = 100;
};
