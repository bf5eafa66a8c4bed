#include "console/Trace.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::uint8_t> B(const std::string& s)
{
    return {s.begin(), s.end()};
}

TEST(Trace, LineShowsTimeDirectionLengthHexAndText)
{
    auto frame = B("+E0400-");
    EXPECT_EQ("[   1.234567] >>    7  2B 45 30 34 30 30 2D  |+E0400-|",
              FormatTraceLine(1.234567, TRACE_SENT, frame.data(), frame.size()));

    std::vector<std::uint8_t> binary{0x00, 0xFF, 0x2A, 0x0D, 0x7F};
    EXPECT_EQ("[   0.000000] <<    5  00 FF 2A 0D 7F  |..*..|",
              FormatTraceLine(0, TRACE_RECEIVED, binary.data(), binary.size()));
}

TEST(Trace, RepliesAreGatheredAndKeptInOrderWithFrames)
{
    std::vector<std::string> lines;
    TraceLog log([&](const std::string& l) { lines.push_back(l); });

    auto erase = B("+E0400-");
    log.OnSent(erase.data(), erase.size(), 1.0);
    // Bytes a fraction of a millisecond apart form one reply...
    double t = 1.010;
    for (char c : std::string("*EOK#")) {
        log.OnReceived(static_cast<std::uint8_t>(c), t);
        t += 0.0001;
    }
    log.FlushIfQuiet(t);  // ...which is not cut while bytes may still come,
    EXPECT_EQ(1u, lines.size());
    // ...and is written before the next frame, stamped with its first byte.
    auto next = B("+E0440-");
    log.OnSent(next.data(), next.size(), 1.02);
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(0u, lines[1].find("[   1.010000] <<    5 "));
    EXPECT_NE(std::string::npos, lines[1].find("|*EOK#|"));
    EXPECT_NE(std::string::npos, lines[2].find("|+E0440-|"));
}

TEST(Trace, APauseOnTheLineEndsAReply)
{
    std::vector<std::string> lines;
    TraceLog log([&](const std::string& l) { lines.push_back(l); });

    log.OnReceived('+', 0.0);
    log.OnReceived('I', 0.001);
    log.OnReceived('+', 0.5);  // the device repeats its start reply later
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("|+I|"));

    log.FlushIfQuiet(0.501);
    EXPECT_EQ(1u, lines.size());
    log.FlushIfQuiet(0.5 + TraceLog::QUIET_GAP);
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[1].find("|+|"));

    log.Flush();  // nothing pending: nothing written
    EXPECT_EQ(2u, lines.size());
}

}  // namespace
