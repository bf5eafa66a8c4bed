// The console host against the real serial engine over a pseudo-terminal: the test
// plays the device on the master side, a small fake tool stands in for the logic.
#include "console/CommandLine.h"
#include "console/ConsoleHost.h"
#include "iap/IapLine.h"
#include "platform/PortNames.h"
#include "wholeflash/WholeFlashLine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

namespace {

using namespace std::chrono_literals;

constexpr unsigned TEST_PORT = 9;

// A pseudo-terminal whose slave the host opens as COM9; the test reads and writes the master.
class Pty {
public:
    Pty()
    {
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
            return;
        struct termios raw {};
        ::tcgetattr(m_master, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(m_master, TCSANOW, &raw);
        m_slavePath = name;
        SetPortDevice(TEST_PORT, m_slavePath);
    }
    ~Pty()
    {
        ClearPortDevice(TEST_PORT);
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_master >= 0)
            ::close(m_master);
    }
    bool Ok() const { return !m_slavePath.empty(); }
    void Write(const std::string& bytes)
    {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(m_master, bytes.data(), bytes.size()));
    }
    // Reads until `count` bytes came or `timeout` passed.
    std::string Read(std::size_t count, std::chrono::milliseconds timeout)
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + timeout;
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            struct pollfd p {
                m_master, POLLIN, 0
            };
            if (::poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
                char buf[256];
                ssize_t n = ::read(m_master, buf, std::min(sizeof buf, count - got.size()));
                if (n > 0)
                    got.append(buf, static_cast<std::size_t>(n));
            }
        }
        return got;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};

// Captures the reporter's two streams.
struct Streams {
    Streams()
        : out(open_memstream(&outText, &outSize)),
          err(open_memstream(&errText, &errSize))
    {
    }
    ~Streams()
    {
        std::fclose(out);
        std::fclose(err);
        std::free(outText);
        std::free(errText);
    }
    std::string Out()
    {
        std::fflush(out);
        return {outText, outSize};
    }
    std::string Err()
    {
        std::fflush(err);
        return {errText, errSize};
    }
    char* outText = nullptr;
    char* errText = nullptr;
    std::size_t outSize = 0;
    std::size_t errSize = 0;
    std::FILE* out;
    std::FILE* err;
};

// A tool that sends "PING" and succeeds once the device answered "OK!".
// (A stand-in for the logic: it may look at the bytes, which no real front end does.)
class PingTool : public ConsoleTool {
public:
    explicit PingTool(ConsoleHost& host)
        : m_host(host)
    {
    }
    void Begin() { m_host.SendText("PING"); }
    void OnByte(std::uint8_t byte) override
    {
        m_received += static_cast<char>(byte);
        if (m_received.size() >= 3 && m_received.compare(m_received.size() - 3, 3, "OK!") == 0) {
            // As the logic does: a posted message and a tick before the end.
            m_host.PostToSelf(0x40B);
            m_host.StartTimer(1, 1);
        }
    }
    void OnTimer(unsigned id) override
    {
        ++m_ticks;
        if (m_posted == 1) {
            m_host.StopTimer(id);
            // As the logic does: it tells of the completion, then shows its text.
            ToolEvent done;
            done.kind = TOOL_EVENT_COMPLETED;
            m_host.OnToolEvent(done);
            m_host.ShowMessage("Done!");
        }
    }
    void OnPosted(unsigned message) override
    {
        if (message == 0x40B)
            ++m_posted;
    }
    ProgressSample Progress() const override { return {}; }
    const char* SuccessText() const override { return "Done!"; }
    std::string Position() const override { return "the ping"; }
    RunFigures Figures() const override { return {}; }

    int m_ticks = 0;
    int m_posted = 0;
    std::string m_received;

private:
    ConsoleHost& m_host;
};

TEST(ConsoleHost, RunsAnExchangeToTheSuccessText)
{
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    Streams streams;
    ConsoleReporter reporter(streams.out, streams.err, false, 80);
    ConsoleHost host("test", reporter, true, 5.0);
    PingTool tool(host);
    host.SetTool(&tool);
    ASSERT_TRUE(host.OpenPort(TEST_PORT, WHOLEFLASH_LINE));

    std::thread device([&] {
        if (pty.Read(4, 3s) == "PING")
            pty.Write("xOK!");
    });
    tool.Begin();
    {
        ConsoleHost::FailureScope scope(host);
        host.ShowMessage("refused!");  // a text shown as a failure
    }
    host.ShowMessage("Port ready!");  // an informational text
    int status = host.Run();
    device.join();

    EXPECT_EQ(EXIT_STATUS_SUCCESS, status);
    EXPECT_EQ("xOK!", tool.m_received);
    EXPECT_EQ(1, tool.m_posted);
    EXPECT_GE(tool.m_ticks, 1);
    // The success text is the caller's to print, after everything else.
    EXPECT_EQ("", streams.Out());
    EXPECT_EQ("Done!", host.SuccessMessage());
    std::string err = streams.Err();
    EXPECT_NE(std::string::npos, err.find("Port ready!\n")) << err;
    EXPECT_NE(std::string::npos, err.find("refused!\n")) << err;
    EXPECT_NE(std::string::npos, err.find(">>    4  50 49 4E 47  |PING|")) << err;
    EXPECT_NE(std::string::npos, err.find("<<    4  78 4F 4B 21  |xOK!|")) << err;
    EXPECT_LT(err.find("|PING|"), err.find("|xOK!|")) << err;
}

TEST(ConsoleHost, GivesUpWhenTheDeviceStaysSilentForTheTimeout)
{
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    Streams streams;
    ConsoleReporter reporter(streams.out, streams.err, false, 80);
    ConsoleHost host("test", reporter, false, 0.4);
    PingTool tool(host);
    host.SetTool(&tool);
    ASSERT_TRUE(host.OpenPort(TEST_PORT, WHOLEFLASH_LINE));

    // The device answers with single bytes every 100 ms for 0.6 s, then falls silent:
    // each byte restarts the wait, so the run may end no earlier than 0.6 + 0.4 s.
    std::atomic<bool> stop{false};
    std::thread device([&] {
        for (int i = 0; i < 6 && !stop; ++i) {
            std::this_thread::sleep_for(100ms);
            pty.Write("z");
        }
    });
    auto start = std::chrono::steady_clock::now();
    tool.Begin();
    int status = host.Run();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stop = true;
    device.join();

    EXPECT_EQ(EXIT_STATUS_TIMEOUT, status);
    EXPECT_EQ("zzzzzz", tool.m_received);
    EXPECT_GE(elapsed, 0.95);
    EXPECT_LT(elapsed, 3.0);
    EXPECT_EQ("", streams.Out());
    EXPECT_NE(std::string::npos, streams.Err().find("test: no reply from the device for 0.4 s")) << streams.Err();
}

TEST(ConsoleHost, ADeviceThatTalksWithoutProgressEndsTheRunAtTheStallLimit)
{
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    Streams streams;
    ConsoleReporter reporter(streams.out, streams.err, false, 80);
    ConsoleHost host("test", reporter, false, 0.3);  // the device never stays silent that long
    host.SetStallLimit(0.6);
    host.SetPortName("/dev/test");
    PingTool tool(host);
    host.SetTool(&tool);
    ASSERT_TRUE(host.OpenPort(TEST_PORT, WHOLEFLASH_LINE));

    std::atomic<bool> stop{false};
    std::thread device([&] {
        while (!stop) {
            pty.Write("+UPDF-");
            std::this_thread::sleep_for(50ms);
        }
    });
    auto start = std::chrono::steady_clock::now();
    int status = host.Run();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stop = true;
    device.join();

    EXPECT_EQ(EXIT_STATUS_FAILURE, status);
    EXPECT_GE(elapsed, 0.6);
    EXPECT_LT(elapsed, 3.0);
    const std::string err = streams.Err();
    EXPECT_NE(std::string::npos, err.find("test: no progress for 0.6 s (--stall); stopped at the ping")) << err;
    EXPECT_NE(std::string::npos, err.find("the device last sent \"")) << err;
    EXPECT_NE(std::string::npos, err.find("+UPDF-\" (")) << err;
    EXPECT_EQ(err, host.FailureText() + "\n");
}

TEST(ConsoleHost, OpeningAMissingDeviceFails)
{
    SetPortDevice(TEST_PORT, "/dev/no-such-serial-device");
    Streams streams;
    ConsoleReporter reporter(streams.out, streams.err, false, 80);
    ConsoleHost host("test", reporter, false, 0);
    EXPECT_FALSE(host.OpenPort(TEST_PORT, IAP_LINE));
    ClearPortDevice(TEST_PORT);
}

}  // namespace
