// A ToolHost that records everything the logic hands to the outside world, so that
// tests can check the exact bytes sent and the exact texts shown.
#pragma once

#include "common/ToolHost.h"

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

class RecordingHost : public ToolHost {
public:
    // Frames in the order sent; text frames are stored as their characters.
    std::vector<std::string> frames;
    std::vector<std::string> messages;       // ShowMessage texts
    std::vector<std::string> statusTexts;    // SetStatusText calls
    std::vector<std::string> progressTexts;  // SetProgressText calls
    std::vector<int> progressPositions;      // SetProgressPos calls
    std::vector<unsigned> posted;            // PostToSelf messages not yet taken
    // The logic's events, each with how many frames, boxes and status texts had been
    // handed over before it (so that tests see its place among them).
    struct Event {
        ToolEvent event;
        std::size_t framesBefore;
        std::size_t messagesBefore;
        std::size_t statusBefore;
    };
    std::vector<Event> events;
    std::size_t framesTaken = 0;          // frames removed by TakeFrames
    std::map<unsigned, unsigned> timers;  // running timers: id -> period
    int rangeLower = 0;
    int rangeUpper = 100;
    // Runs while a message is "open", before ShowMessage returns (for example to
    // deliver timer ticks, as a real modal box does).
    std::function<void(const std::string&)> onMessage;

    void SendBytes(const std::uint8_t* data, std::size_t length) override
    {
        frames.emplace_back(reinterpret_cast<const char*>(data), length);
    }
    void SendText(const char* text) override { frames.emplace_back(text); }
    void StartTimer(unsigned id, unsigned periodMs) override { timers[id] = periodMs; }
    void StopTimer(unsigned id) override { timers.erase(id); }
    void ShowMessage(const char* text) override
    {
        messages.emplace_back(text);
        if (onMessage)
            onMessage(messages.back());
    }
    void SetStatusText(const char* text) override { statusTexts.emplace_back(text); }
    void SetProgressText(const char* text) override { progressTexts.emplace_back(text); }
    void SetProgressPos(int pos) override { progressPositions.push_back(pos); }
    void GetProgressRange(int& lower, int& upper) override
    {
        lower = rangeLower;
        upper = rangeUpper;
    }
    void PostToSelf(unsigned message) override { posted.push_back(message); }
    void OnToolEvent(const ToolEvent& event) override
    {
        events.push_back({event, framesTaken + frames.size(), messages.size(), statusTexts.size()});
    }

    bool TimerRunning(unsigned id) const { return timers.count(id) != 0; }
    // Removes and returns all frames sent so far.
    std::vector<std::string> TakeFrames()
    {
        std::vector<std::string> out;
        out.swap(frames);
        framesTaken += out.size();
        return out;
    }
};

// An event in a test's expectation: kind, unit, number and total.
inline ToolEvent MakeEvent(ToolEventKind kind, ToolUnit unit, long number, long total,
                           ToolRefusal refusal = REFUSAL_NONE)
{
    return {kind, unit, number, total, refusal};
}

inline bool operator==(const ToolEvent& a, const ToolEvent& b)
{
    return a.kind == b.kind && a.unit == b.unit && a.number == b.number && a.total == b.total && a.refusal == b.refusal;
}

inline std::ostream& operator<<(std::ostream& out, const ToolEvent& e)
{
    static const char* const kinds[] = {"STARTED",  "STAGE", "ACKNOWLEDGED", "DATA_ERROR",
                                        "REJECTED", "WAIT",  "COMPLETED",    "REFUSED"};
    return out << kinds[e.kind] << "(unit " << e.unit << ", " << e.number << " of " << e.total << ", refusal "
               << e.refusal << ")";
}

// Bytes written as a string, for comparisons with frames: Bytes({0x2B, 0x45}).
inline std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}
