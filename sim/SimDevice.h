// The simulated device: the far end of the serial line, playing one of the device's
// loaders, on a new pseudo-terminal (or on a real serial device) served by a
// background thread.
//
// Typical use, as in the console programs' --simulate:
//
//     SimOptions options;
//     options.loader = LoaderKind::IapSolvane;
//     options.baud = 19200;                 // 0: no line emulation, as fast as possible
//     options.expectedImage = imageBytes;   // lets the loader know when it is done
//     SimDevice device(options);
//     std::string error;
//     if (!device.Start(error)) { ... }     // error says what failed
//     OpenTheToolOn(device.SlavePath());    // e.g. "/dev/pts/7"
//     ...run the tool...
//     device.Stop();                        // ends the thread, writes the flash file
//     SimReport report = device.Report();
//
// A production jig plays one board after another: when WaitFinished says a board's
// run has ended, Report() is that board's, and NextBoard() starts the next one with a
// new flash and the loader from its start, on the same line (or, after Leave(), on a
// new pseudo-terminal).
//
// All operations are called from one thread (the owner's); the device runs on its own.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// Which loader the device plays.
enum class LoaderKind {
    Erase,       // Dunmere's peer: answers every erase frame with "*EOK#"
    IapSolvane,  // Solvane's peer: announces "+IAPC-" (or "+UPDS-"), takes 128-byte blocks
    IapTirell,   // Tirell's peer: announces "+IAPC-" (or "+UPDF-"), may ask for "*WAIT#"
    WholeFlash,  // Quarrow's peer: erase frames, then pages of 16 frames
};

// One write frame of the whole-flash loader to be rejected with "*WER#".
struct RejectRule {
    long frame = 0;      // index of the write frame, counted from 0 over the run (page * 16 + sub-frame)
    unsigned times = 1;  // how many times in a row the same frame is rejected
};

// Faults the device plays, all off by default. Everything random draws from one
// generator seeded with `seed`, so a run can be repeated exactly.
struct FaultPlan {
    std::uint64_t seed = 1;
    // Up to this many noise bytes (random count and values) before every reply. Noise
    // never contains the bytes that start or end a reply ('+', '-', '*', '#').
    unsigned noiseMax = 0;
    // The reply with this index (counted from 0 over the replies to the tool's frames;
    // announcements do not count) is cut short after `cutLength` bytes; -1: no cut. A cut length of 0
    // or more than the reply's length-1 cuts off only the last byte.
    long cutReply = -1;
    unsigned cutLength = 0;
    // IAP loaders: blocks (counted from 0) answered with "+DTER-" the first time they
    // arrive. With `restartAfterError` the loader then announces itself again, as a
    // loader that has reset itself, and the tool starts over from block 0; without it,
    // the loader waits for a frame that never comes.
    std::vector<long> errorBlocks;
    bool restartAfterError = true;
    // Whole-flash loader: write frames answered with "*WER#".
    std::vector<RejectRule> rejectFrames;
    // After this many frames received the device answers nothing more; -1: never.
    long silentAfter = -1;
    // After this many frames received the device closes its end of the line (the
    // tool sees the line hang up); -1: never.
    long vanishAfter = -1;
    // Extra delay before every reply, in milliseconds (a slow device).
    unsigned replyDelayMs = 0;
    // Replies (counted as for `cutReply`) that wait this many milliseconds more, on
    // top of `replyDelayMs`: a device that takes its time over one frame.
    std::map<long, unsigned> slowReplyMs;
    // Replies (counted as for `cutReply`) that this text comes just before, as it is:
    // a reply broken off by the next one ("*W" before "*WER#"), or a reply that the
    // tool does not expect at that point ("+DTER-" before "+RECV-").
    std::map<long, std::string> beforeReply;
};

// The start replies of the IAP loaders (SimOptions::startReply).
inline constexpr const char* SIM_START_IAP = "IAPC";       // either tool's loader
inline constexpr const char* SIM_START_DOWNLOAD = "UPDF";  // Tirell's own loader: starts a download

struct SimOptions {
    LoaderKind loader = LoaderKind::Erase;
    // Bits per second of the emulated line: replies leave at this rate (10 bits a byte)
    // and every received frame is answered only after its own wire time. 0 turns the
    // emulation off. On a real serial device (`devicePath`) this is the port's rate and
    // the hardware does the pacing.
    unsigned baud = 0;
    // Pseudo-terminal only: the latency of a USB adapter in front of the tool, in
    // milliseconds (0: none). The device's bytes, once off the emulated wire, are held
    // until 62 are waiting or this long after the first of them came, and then reach
    // the tool together (see AdapterHold). The tool's bytes to the device are not held.
    unsigned adapterLatencyMs = 0;
    // Empty: a new pseudo-terminal. Otherwise a serial device to open (a real adapter
    // with a null-modem cable to the host running the tool).
    std::string devicePath;
    // Where the final flash is written when the device stops; empty: not written.
    //   Erase:      the 64 KiB flash (below erase address 1,024 untouched: 0x00; each
    //               erase frame for address a sets bytes a .. a+63 to 0xFF).
    //   IAP:        the blocks received, 128 bytes each, in order (the filler of the
    //               last block included).
    //   WholeFlash: pages 0 .. the last page written, 2,112 bytes each (pages erased
    //               but not written read 0xFF, pages never erased 0x00).
    std::string flashPath;
    // The flash file's length in bytes: the model's flash cut or filled with 0xFF
    // (erased flash) to this length; -1: as the model has it.
    long flashLength = -1;
    // Optional: one line per frame received (kind, address or block, verdict).
    std::string logPath;
    // The image the tool is expected to send. When given, the loader knows when the
    // transfer is complete and checks every block or page against it (IAP: the image
    // bytes of each block, not the filler; whole flash: page count and every page as
    // the tool computes them, trailing 0xFF bytes dropped).
    std::vector<std::uint8_t> expectedImage;
    bool hasExpectedImage = false;
    // Or just the number of blocks (IAP) or pages (whole flash) to expect; -1: from
    // the image if given, else unknown: the run then ends when the tool closes the
    // line, and counts as complete if the loader had acknowledged a whole transfer
    // (the last frame was a block, or the last page of a page, acknowledged). The
    // erase loader always expects its 1,008 frames.
    long expectedUnits = -1;
    // Whole-flash loader: the reply to an erase frame, "*EOK" and one more byte ("-";
    // some devices end it with "#").
    std::string eraseAck = "*EOK-";
    // IAP loaders: the start reply's four letters. "IAPC" (default, answered with
    // "*IAPK#"), "UPDS" (Solvane, answered with "*DNDA#") or "UPDF" (Tirell, "*DNDA#").
    std::string startReply = SIM_START_IAP;
    // IAP loaders: how often the start reply is repeated until the tool answers.
    unsigned announceMs = 500;
    // IAP loaders: the first start reply comes this many milliseconds after the tool
    // has opened the line (a device that is reset only some time later); 0: at once.
    // On a pseudo-terminal on Linux the opening is seen; elsewhere the time counts
    // from Start.
    unsigned quietFirstMs = 0;
    // IAP loaders: the acknowledgement sent for a good block: "DTOK" or "DTNX".
    std::string ackReply = "DTOK";
    // Tirell's loader: blocks (counted from 0) before whose acknowledgement the loader
    // sends "+UPDS-" and waits for the tool's "*WAIT#".
    std::vector<long> waitBeforeBlocks;
    FaultPlan faults;
};

// What the device saw. Errors are the tool's faults found in what it sent (bad
// layout, checksum, order, page number, write before erase, wrong data); faults the
// device played itself are not errors.
struct SimReport {
    bool complete = false;          // the loader received everything it expected
    bool lineClosedByTool = false;  // the tool closed its end of the line
    bool vanished = false;          // the device closed the line itself (fault)
    unsigned long framesReceived = 0;
    unsigned long errorCount = 0;
    std::vector<std::string> errors;  // the first few, as text
    unsigned long bytesWritten = 0;   // data bytes stored in the flash model
    unsigned long repliesSent = 0;
    // Bytes on the line and the time from the start of the exchange (the announcement
    // the tool answered, or the first frame's first byte) to the last byte of the
    // loader's final reply (of its last reply so far while the run is not complete),
    // as the tool gets it: after the adapter's hold, when one is played.
    unsigned long wireBytesIn = 0;
    unsigned long wireBytesOut = 0;
    double elapsedSeconds = 0.0;
    // Mean time from the last byte of a reply (as the tool got it) to the tool's next
    // byte, as the device saw it (includes the pseudo-terminal's own latency).
    double meanAnswerMs = 0.0;
    // The adapter latency played (SimOptions::adapterLatencyMs); 0: none.
    unsigned adapterLatencyMs = 0;
    // The tool opened the line and closed it again without sending a byte (seen on a
    // pseudo-terminal on Linux): the run ended there.
    bool closedBeforeFirstByte = false;
    // Why a run that looked finished is not counted complete (the loader could not
    // recognise the end, the last reply did not reach the tool whole); empty: nothing.
    std::string note;
    // Everything the tool sent checked out and the loader received all it expected.
    bool AllChecked() const { return complete && errorCount == 0; }
};

// Report as the lines that device-sim prints (key: value, one a line).
std::string FormatReport(const SimReport& report);

class SimDevice {
public:
    explicit SimDevice(SimOptions options);
    // Stops the device if it still runs.
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // Opens the line (a new pseudo-terminal set to raw mode, or `devicePath`) and
    // starts the background thread. Returns false with `error` set when it could not.
    bool Start(std::string& error);
    // Path to open from the tool's side: the pseudo-terminal's slave (e.g.
    // "/dev/pts/7"), or `devicePath`. Valid after a successful Start.
    const std::string& SlavePath() const;
    // Waits up to `timeoutMs` (negative: for ever) until the run has ended: complete
    // and acknowledged, the line closed by the tool, or the device vanished. Returns
    // true if it has ended.
    bool WaitFinished(int timeoutMs);
    // After the run has ended: the next board. The finished board's flash and log
    // files are written, then a new flash model and loader state start on the same
    // line (held again for the tool if it had closed it); where the line is gone (the
    // device vanished, or Leave()) a new one is opened, so SlavePath() may change.
    // Returns false with `error` set when the run has not ended or no line could be
    // opened.
    bool NextBoard(std::string& error);
    // After the run has ended: the board leaves, as an adapter on it that is unplugged.
    // Its files are written and the line is closed (the tool sees a hangup); the
    // report stays until NextBoard.
    void Leave();
    // The files the board being played writes when it ends (as SimOptions::flashPath
    // and logPath; empty: none).
    void SetFilePaths(const std::string& flashPath, const std::string& logPath);
    // The board being played, from 1.
    long Board() const;
    // Ends the thread, closes the line and writes the flash (and log) files. Safe to
    // call more than once.
    void Stop();
    // A snapshot of the report; may be called at any time.
    SimReport Report() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace sim
