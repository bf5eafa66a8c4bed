// A ToolHost that records everything the logic hands to the outside world, so that
// tests can check the exact bytes sent and the exact texts shown.
#pragma once

#include "common/ToolHost.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

class RecordingHost : public ToolHost {
public:
    // Frames in the order sent; text frames are stored as their characters.
    std::vector<std::string> frames;
    std::vector<std::string> messages;      // ShowMessage texts
    std::vector<std::string> statusTexts;   // SetStatusText calls
    std::vector<std::string> progressTexts; // SetProgressText calls
    std::vector<int> progressPositions;     // SetProgressPos calls
    std::vector<unsigned> posted;           // PostToSelf messages not yet taken
    std::map<unsigned, unsigned> timers;    // running timers: id -> period
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

    bool TimerRunning(unsigned id) const { return timers.count(id) != 0; }
    // Removes and returns all frames sent so far.
    std::vector<std::string> TakeFrames()
    {
        std::vector<std::string> out;
        out.swap(frames);
        return out;
    }
};

// Bytes written as a string, for comparisons with frames: Bytes({0x2B, 0x45}).
inline std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}
