// The device's loaders as per-byte state machines: bytes from the tool go in, replies
// come out through LoaderOutput. No clock, no I/O: the line (SimDevice) decides when a
// reply leaves and plays the line faults; the models play only the protocol faults
// (error replies for chosen blocks or frames, wait requests).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// The one door through which a model answers the tool.
class LoaderOutput {
public:
    virtual ~LoaderOutput() = default;
    // One reply, sent whole and in order after the byte that caused it.
    virtual void Reply(std::string_view bytes) = 0;
};

// What a model has seen so far.
struct LoaderStats {
    unsigned long framesReceived = 0;
    unsigned long errorCount = 0;
    std::vector<std::string> errors;  // the first MAX_ERROR_TEXTS errors as text
    unsigned long bytesWritten = 0;   // data bytes stored (or erased, for the erase loader)
    bool complete = false;            // everything expected has been received and acknowledged
    // Why a run that the tool ended on an acknowledgement is not counted complete
    // (see OnLineClosed); empty: nothing to say.
    std::string note;
};

class LoaderModel {
public:
    // Errors beyond this many are counted but not kept as text.
    static constexpr std::size_t MAX_ERROR_TEXTS = 20;

    virtual ~LoaderModel() = default;

    // One byte received from the tool.
    virtual void OnByte(std::uint8_t byte, LoaderOutput& out) = 0;

    // True for loaders that lead the exchange (they speak first).
    virtual bool Leads() const { return false; }
    // Loaders that lead the exchange announce themselves until the tool answers: while
    // this is true the line calls Announce at the announcement period.
    virtual bool WantsAnnounce() const { return false; }
    virtual void Announce(LoaderOutput& /*out*/) {}
    // True once the tool has answered an announcement (the exchange has begun).
    virtual bool ExchangeStarted() const = 0;
    // Called when the tool has closed the line: a loader that was not told what to
    // expect marks the run complete if a whole transfer had been acknowledged and its
    // last unit is recognisably the image's last; otherwise it may say why not in
    // Stats().note.
    virtual void OnLineClosed() {}

    // The flash as the device ends with it (the layout is each loader's own).
    virtual std::vector<std::uint8_t> FlashImage() const = 0;

    const LoaderStats& Stats() const { return m_stats; }
    // One line per frame received, in order.
    const std::vector<std::string>& FrameLog() const { return m_frameLog; }

protected:
    void AddError(std::string text);
    void CountFrame(std::string logLine);

    LoaderStats m_stats;
    std::vector<std::string> m_frameLog;
};

// Byte values as text for error messages: printable ASCII as is, others as <XX>.
std::string Printable(std::string_view bytes);

}  // namespace sim
