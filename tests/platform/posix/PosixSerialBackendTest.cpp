// The POSIX back end leaves a port as it found it: a terminal's settings come back on
// close, also when the line stopped taking output; and the low-latency request, played
// against a stand-in serial driver (a pseudo-terminal has none).
#include "platform/LowLatency.h"
#include "platform/PortNames.h"
#include "platform/SerialBackend.h"
#include "platform/posix/MessageLoop.h"
#include "platform/posix/PosixSerialIoctls.h"
#include "serial/SerialMessages.h"
#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#ifdef __APPLE__
#include <util.h>  // openpty
#else
#include <pty.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

using namespace std::chrono_literals;

namespace {

constexpr unsigned PORTNR = 7;

// A pseudo-terminal set up as a shell leaves it: line editing, echo, signals, output
// mapping, XON/XOFF, at 9600 baud. COM7 opens its slave; the test keeps the slave open
// so that the terminal keeps its settings between opens, and plays the device on the
// master.
class TerminalLine {
public:
    TerminalLine()
    {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return;
        termios tio{};
        tcgetattr(slave, &tio);
        tio.c_iflag = ICRNL | IXON | IMAXBEL;
        tio.c_oflag = OPOST | ONLCR;
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8 | CREAD | HUPCL;
        tio.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tcsetattr(slave, TCSANOW, &tio);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        device = ttyname(slave);
        SetPortDevice(PORTNR, device);
    }
    ~TerminalLine()
    {
        ClearPortDevice(PORTNR);
        close(master);
        close(slave);
    }

    termios Settings() const
    {
        termios tio{};
        tcgetattr(slave, &tio);
        return tio;
    }

    int master = -1;
    int slave = -1;
    std::string device;
};

void ExpectSameSettings(const termios& before, const termios& after)
{
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc), 0);
}

TEST(PortLeftAsFound, TerminalGetsItsSettingsBackAfterARunThroughTheEngine)
{
    TerminalLine line;
    ASSERT_GE(line.slave, 0);
    const termios before = line.Settings();
    {
        MessageLoop loop;
        std::string received;
        LoopWindow window(loop, [&](unsigned message, std::uintptr_t wParam, std::intptr_t) {
            if (message == MSG_SERIAL_RX_CHAR)
                received.push_back(static_cast<char>(wParam));
            return std::intptr_t{0};
        });
        SerialPort port;
        ASSERT_TRUE(port.OpenPort(&window, PORTNR, 115200, 'N', 8, 1, 3, 2048));
        ASSERT_TRUE(port.StartMonitor());
        const termios during = line.Settings();
        EXPECT_FALSE(during.c_lflag & (ECHO | ICANON));  // the test sees a real change
        EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B115200));

        ASSERT_EQ(write(line.master, "\x13ping\r", 6), 6);
        EXPECT_TRUE(loop.RunUntil([&] { return received.size() >= 6; }, 5s));
        EXPECT_EQ(received, "\x13ping\r");
        ASSERT_TRUE(port.QueueTransmit("pong\r\n"));
        std::string sent;
        loop.RunUntil(
            [&] {
                char buffer[64];
                const ssize_t n = read(line.master, buffer, sizeof buffer);
                if (n > 0)
                    sent.append(buffer, static_cast<std::size_t>(n));
                return sent.size() >= 6;
            },
            5s);
        EXPECT_EQ(sent, "pong\r\n");  // raw while open: no CR/NL mapping
        port.ClosePort();
    }
    ExpectSameSettings(before, line.Settings());
}

TEST(PortLeftAsFound, CloseDoesNotWaitForeverOnOutputNobodyTakes)
{
    TerminalLine line;
    ASSERT_GE(line.slave, 0);
    const termios before = line.Settings();
    SerialBackend& backend = PlatformSerialBackend();
    PortHandle port = backend.OpenPort("COM7");
    ASSERT_NE(port, SerialInvalidHandle());
    LineState state;
    ASSERT_TRUE(backend.GetLineState(port, state));
    ASSERT_TRUE(backend.BuildLineState("baud=115200 parity=N data=8 stop=1", state));
    ASSERT_TRUE(backend.SetLineState(port, state));
    // The device reads nothing: fill the line until it takes no more.
    CommTimeouts timeouts{};
    timeouts.WriteTotalTimeoutConstant = 200;
    ASSERT_TRUE(backend.SetTimeouts(port, timeouts));
    const std::string block(4096, 'x');
    std::uint32_t sent = 0;
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(backend.WritePort(port, reinterpret_cast<const std::uint8_t*>(block.data()),
                                    static_cast<std::uint32_t>(block.size()), sent, nullptr),
                  PortIo::Done);
        if (sent < block.size())
            break;
    }
    ASSERT_LT(sent, block.size()) << "the line never filled up";

    const auto start = std::chrono::steady_clock::now();
    backend.ClosePort(port);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ExpectSameSettings(before, line.Settings());
}

#ifdef __linux__

// A serial driver that keeps its flags here and accepts or refuses changes, as the
// test says; every call is counted.
struct FakeDriver {
    enum class Mode { Accepts, Refuses, DropsFlag, NoDriver };
    static inline Mode mode = Mode::Accepts;
    static inline serial_struct settings{};
    static inline int gets = 0;
    static inline int sets = 0;

    static int Get(int, serial_struct* out)
    {
        ++gets;
        if (mode == Mode::NoDriver)
            return errno = ENOTTY, -1;
        *out = settings;
        return 0;
    }
    static int Set(int, const serial_struct* in)
    {
        ++sets;
        if (mode == Mode::Refuses)
            return errno = EPERM, -1;
        settings = *in;
        if (mode == Mode::DropsFlag)
            settings.flags &= ~static_cast<int>(ASYNC_LOW_LATENCY);
        return 0;
    }
};

class LowLatencyTest : public ::testing::Test {
protected:
    LowLatencyTest()
        : m_previous(ReplaceSerialIoctlsForTest({FakeDriver::Get, FakeDriver::Set}))
    {
        FakeDriver::mode = FakeDriver::Mode::Accepts;
        FakeDriver::settings = serial_struct{};
        FakeDriver::settings.type = 4;
        FakeDriver::settings.flags = ASYNC_SKIP_TEST;  // a flag of someone else's, to be kept
        FakeDriver::gets = FakeDriver::sets = 0;
    }
    ~LowLatencyTest() override
    {
        ReplaceSerialIoctlsForTest(m_previous);
        SetLowLatencyRequest(true);
    }

    // Opens COM7 through the back end, checks the flags while open, closes it.
    void OpenCheckClose(int flagsWhileOpen, LowLatencyState expected)
    {
        SerialBackend& backend = PlatformSerialBackend();
        PortHandle port = backend.OpenPort("COM7");
        ASSERT_NE(port, SerialInvalidHandle()) << "an open must not fail over low latency";
        EXPECT_EQ(FakeDriver::settings.flags, flagsWhileOpen);
        EXPECT_EQ(FakeDriver::settings.type, 4);
        EXPECT_EQ(LowLatencyAtOpen(line.device), expected);
        backend.ClosePort(port);
    }

    TerminalLine line;

private:
    SerialIoctls m_previous;
};

TEST_F(LowLatencyTest, AcceptedFlagIsSetOnOpenAndClearedOnClose)
{
    OpenCheckClose(ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY, LowLatencyState::Set);
    EXPECT_EQ(FakeDriver::settings.flags, ASYNC_SKIP_TEST);
    EXPECT_EQ(FakeDriver::sets, 2);
}

TEST_F(LowLatencyTest, FlagThatWasOnAlreadyStaysOnAfterClose)
{
    FakeDriver::settings.flags |= ASYNC_LOW_LATENCY;
    OpenCheckClose(ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY, LowLatencyState::Set);
    EXPECT_EQ(FakeDriver::settings.flags, ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY);
    EXPECT_EQ(FakeDriver::sets, 0);
}

TEST_F(LowLatencyTest, RefusalOrNoDriverLeavesThePortAsItIs)
{
    FakeDriver::mode = FakeDriver::Mode::Refuses;
    OpenCheckClose(ASYNC_SKIP_TEST, LowLatencyState::Refused);
    EXPECT_EQ(FakeDriver::sets, 1);  // the one refused attempt, nothing on close

    FakeDriver::mode = FakeDriver::Mode::DropsFlag;
    FakeDriver::sets = 0;
    OpenCheckClose(ASYNC_SKIP_TEST, LowLatencyState::Refused);
    EXPECT_EQ(FakeDriver::sets, 1);

    FakeDriver::mode = FakeDriver::Mode::NoDriver;
    FakeDriver::sets = 0;
    OpenCheckClose(ASYNC_SKIP_TEST, LowLatencyState::Unsupported);
    EXPECT_EQ(FakeDriver::sets, 0);
}

TEST_F(LowLatencyTest, RequestTurnedOffTouchesNoDriverSetting)
{
    SetLowLatencyRequest(false);
    OpenCheckClose(ASYNC_SKIP_TEST, LowLatencyState::Off);
    EXPECT_EQ(QueryLowLatency(line.device), LowLatencyState::Off);
    EXPECT_EQ(FakeDriver::gets, 0);
    EXPECT_EQ(FakeDriver::sets, 0);
}

TEST_F(LowLatencyTest, QueryReportsWithoutChangingAnything)
{
    EXPECT_EQ(QueryLowLatency(line.device), LowLatencyState::Available);
    FakeDriver::settings.flags |= ASYNC_LOW_LATENCY;
    EXPECT_EQ(QueryLowLatency(line.device), LowLatencyState::Set);
    FakeDriver::mode = FakeDriver::Mode::NoDriver;
    EXPECT_EQ(QueryLowLatency(line.device), LowLatencyState::Unsupported);
    EXPECT_EQ(QueryLowLatency("/nonexistent/suite-missing-port"), LowLatencyState::Unknown);
    EXPECT_EQ(FakeDriver::sets, 0);
}

TEST_F(LowLatencyTest, RealPseudoTerminalHasNoSettingAndStillOpens)
{
    ReplaceSerialIoctlsForTest(SystemSerialIoctls());
    SerialBackend& backend = PlatformSerialBackend();
    PortHandle port = backend.OpenPort("COM7");
    ASSERT_NE(port, SerialInvalidHandle());
    EXPECT_EQ(LowLatencyAtOpen(line.device), LowLatencyState::Unsupported);
    backend.ClosePort(port);
}

#endif

}  // namespace
