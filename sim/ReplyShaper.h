// The line faults a device plays on its replies: noise bytes before a reply, a text
// planned to come just before one (a reply broken off by the next), a reply cut
// short, replies late (all of them, or single ones), and falling silent. Seeded, so
// that a run can be repeated. No I/O.
#pragma once

#include "sim/SimDevice.h"

#include <random>
#include <string>
#include <string_view>

namespace sim {

class ReplyShaper {
public:
    explicit ReplyShaper(const FaultPlan& plan);

    // The bytes that go on the line for `reply`, given how many frames the device has
    // received so far: the reply, perhaps after noise and the text planned before it,
    // perhaps cut short; empty once the device has fallen silent. Announcements (`counted` false) do not count as
    // replies for the cut, so that its index does not depend on how many
    // announcements it took for the tool to answer.
    std::string Shape(std::string_view reply, unsigned long framesReceived, bool counted = true);

    // How many milliseconds the reply last shaped waits before it leaves: the delay
    // of every reply, and that of a slow reply on top.
    unsigned DelayMs() const { return m_nDelayMs; }

    // Counted replies shaped so far (dropped ones included): the index of the next one.
    long RepliesShaped() const { return m_nReplies; }
    bool Silent() const { return m_bSilent; }

    // True for the bytes that start or end a reply, which noise never contains.
    static bool IsMarker(std::uint8_t byte);

private:
    FaultPlan m_plan;
    std::mt19937_64 m_rng;
    long m_nReplies = 0;
    bool m_bSilent = false;
    unsigned m_nDelayMs = 0;
};

}  // namespace sim
