// The in-process simulated ports through the real engine: SerialPort over
// SimulatedBackend, with the owner window of the engine tests. Timings are lower
// bounds only: a loaded machine may deliver late, never early.
#include "../serial/LineFixture.h"

#include "common/EraseFrame.h"
#include "serial/SerialMessages.h"
#include "serial/SerialPort.h"
#include "sim/EraseLoader.h"
#include "sim/SimulatedBackend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// 1 ms a byte at 10 bits a byte: wire times large enough to measure.
constexpr unsigned SLOW_BAUD = 10000;
constexpr auto BYTE_TIME = 1ms;
constexpr std::size_t EOK_LENGTH = 5;  // "*EOK#"

class SimulatedBackendTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetSerialBackendOverride(&backend);
        owner = TestOwner::Create();
    }
    void TearDown() override
    {
        ports.clear();  // their monitors end before the back end goes
        SetSerialBackendOverride(nullptr);
    }

    sim::SimOptions Options(sim::LoaderKind loader, unsigned baud) const
    {
        sim::SimOptions options;
        options.loader = loader;
        options.baud = baud;
        return options;
    }

    void Add(unsigned portnr, const sim::SimOptions& options)
    {
        std::string error;
        ASSERT_TRUE(backend.AddDevice("COM" + std::to_string(portnr), options, error)) << error;
    }

    // Opens COM<portnr> as Dunmere does and starts its monitor.
    SerialPort* OpenMonitored(unsigned portnr)
    {
        ports.push_back(std::make_unique<SerialPort>());
        SerialPort& port = *ports.back();
        if (!port.OpenPort(owner->Window(), portnr, 115200, 'N', 8, 1, 3, 2048) || !port.StartMonitor())
            return nullptr;
        return &port;
    }

    // The received bytes of COM<portnr>, in order.
    std::string BytesFrom(unsigned portnr) const
    {
        std::string bytes;
        for (const OwnerMessage& m : owner->Messages()) {
            if (m.message == MSG_SERIAL_RX_CHAR && m.lParam == static_cast<std::intptr_t>(portnr))
                bytes += static_cast<char>(m.wParam);
        }
        return bytes;
    }

    bool PumpUntilBytes(unsigned portnr, std::size_t count, std::chrono::milliseconds timeout = 5s)
    {
        return owner->PumpUntil([&] { return BytesFrom(portnr).size() >= count; }, timeout);
    }

    static std::string EraseFrame(int address)
    {
        std::uint8_t frame[ERASE_FRAME_LENGTH];
        BuildEraseFrame(address, frame);
        return std::string(reinterpret_cast<const char*>(frame), ERASE_FRAME_LENGTH);
    }

    sim::SimulatedBackend backend;
    std::unique_ptr<TestOwner> owner;
    std::vector<std::unique_ptr<SerialPort>> ports;
};

TEST_F(SimulatedBackendTest, FrameReachesTheLoaderAndTheReplyTakesItsWireTime)
{
    Add(3, Options(sim::LoaderKind::Erase, SLOW_BAUD));
    SerialPort* port = OpenMonitored(3);
    ASSERT_NE(nullptr, port);

    Clock::time_point firstByte{};
    owner->SetHook([&](const OwnerMessage& m) {
        if (m.message == MSG_SERIAL_RX_CHAR && firstByte == Clock::time_point{})
            firstByte = Clock::now();
    });
    const Clock::time_point sent = Clock::now();
    ASSERT_TRUE(port->QueueTransmit(EraseFrame(sim::ERASE_FIRST_ADDRESS).c_str()));
    ASSERT_TRUE(PumpUntilBytes(3, EOK_LENGTH));
    const Clock::time_point done = Clock::now();

    EXPECT_EQ("*EOK#", BytesFrom(3));
    // The frame's 7 bytes must arrive before the loader answers; the reply's first
    // byte then takes one byte time, the whole reply five.
    EXPECT_GE(firstByte - sent, (ERASE_FRAME_LENGTH + 1) * BYTE_TIME);
    EXPECT_GE(done - sent, (ERASE_FRAME_LENGTH + EOK_LENGTH) * BYTE_TIME);

    const sim::SimReport report = backend.Report("COM3");
    EXPECT_EQ(1u, report.framesReceived);
    EXPECT_EQ(0u, report.errorCount);
    EXPECT_EQ(1u, report.repliesSent);
    EXPECT_FALSE(report.complete);
}

TEST_F(SimulatedBackendTest, AdapterHoldDelaysTheReply)
{
    sim::SimOptions options = Options(sim::LoaderKind::Erase, SLOW_BAUD);
    options.adapterLatencyMs = 40;
    Add(4, options);
    SerialPort* port = OpenMonitored(4);
    ASSERT_NE(nullptr, port);
    const Clock::time_point sent = Clock::now();
    ASSERT_TRUE(port->QueueTransmit(EraseFrame(sim::ERASE_FIRST_ADDRESS).c_str()));
    ASSERT_TRUE(PumpUntilBytes(4, 1));
    // The reply's first byte reaches the adapter after the frame and its own wire
    // time, and is held there for the latency.
    EXPECT_GE(Clock::now() - sent, (ERASE_FRAME_LENGTH + 1) * BYTE_TIME + 40ms);
}

TEST_F(SimulatedBackendTest, TwoPortsAreIndependentDevices)
{
    Add(1, Options(sim::LoaderKind::Erase, SLOW_BAUD));
    Add(2, Options(sim::LoaderKind::Erase, SLOW_BAUD));
    SerialPort* one = OpenMonitored(1);
    SerialPort* two = OpenMonitored(2);
    ASSERT_NE(nullptr, one);
    ASSERT_NE(nullptr, two);

    // Each device keeps its own place in the chain: the second frame of port 1 is
    // the first of port 2, which port 2's loader counts as out of order.
    ASSERT_TRUE(one->QueueTransmit(EraseFrame(sim::ERASE_FIRST_ADDRESS).c_str()));
    ASSERT_TRUE(PumpUntilBytes(1, EOK_LENGTH));
    ASSERT_TRUE(one->QueueTransmit(EraseFrame(sim::ERASE_FIRST_ADDRESS + sim::ERASE_STEP).c_str()));
    ASSERT_TRUE(PumpUntilBytes(1, 2 * EOK_LENGTH));
    ASSERT_TRUE(two->QueueTransmit(EraseFrame(sim::ERASE_FIRST_ADDRESS).c_str()));
    ASSERT_TRUE(PumpUntilBytes(2, EOK_LENGTH));

    EXPECT_EQ("*EOK#*EOK#", BytesFrom(1));
    EXPECT_EQ("*EOK#", BytesFrom(2));
    const sim::SimReport first = backend.Report("COM1");
    const sim::SimReport second = backend.Report("com2");
    EXPECT_EQ(2u, first.framesReceived);
    EXPECT_EQ(1u, second.framesReceived);
    EXPECT_EQ(0u, first.errorCount);
    EXPECT_EQ(0u, second.errorCount);
}

TEST_F(SimulatedBackendTest, WholeChainIsCompleteAndCheckedAfterTheClose)
{
    Add(5, Options(sim::LoaderKind::Erase, 0));  // no line emulation: as fast as it goes
    SerialPort* port = OpenMonitored(5);
    ASSERT_NE(nullptr, port);
    for (long i = 0; i < sim::ERASE_CHAIN_FRAMES; ++i) {
        const int address = static_cast<int>(sim::ERASE_FIRST_ADDRESS + i * sim::ERASE_STEP);
        ASSERT_TRUE(port->QueueTransmit(EraseFrame(address).c_str()));
        ASSERT_TRUE(PumpUntilBytes(5, static_cast<std::size_t>(i + 1) * EOK_LENGTH)) << "frame " << i;
    }
    ports.clear();  // the tool closes the line
    EXPECT_TRUE(backend.WaitFinished("COM5", 0));
    const sim::SimReport report = backend.Report("COM5");
    EXPECT_TRUE(report.AllChecked()) << report.note;
    EXPECT_TRUE(report.lineClosedByTool);
    EXPECT_EQ(static_cast<unsigned long>(sim::ERASE_CHAIN_FRAMES), report.framesReceived);
}

TEST_F(SimulatedBackendTest, LeadingLoaderAnnouncesFromTheOpeningAtItsPeriod)
{
    sim::SimOptions options = Options(sim::LoaderKind::IapSolvane, SLOW_BAUD);
    options.quietFirstMs = 30;
    options.announceMs = 50;
    Add(6, options);
    const Clock::time_point opened = Clock::now();
    ASSERT_NE(nullptr, OpenMonitored(6));
    const std::string announcement = "+IAPC-";
    ASSERT_TRUE(PumpUntilBytes(6, announcement.size()));
    const Clock::time_point first = Clock::now();
    ASSERT_TRUE(PumpUntilBytes(6, 2 * announcement.size()));
    const Clock::time_point second = Clock::now();

    EXPECT_EQ(announcement + announcement, BytesFrom(6).substr(0, 2 * announcement.size()));
    EXPECT_GE(first - opened, 30ms + announcement.size() * BYTE_TIME);
    // The next one starts a period after the last has left the line. Measured from the
    // opening: a late look at the first one (a loaded machine) must not shorten it.
    (void)first;
    EXPECT_GE(second - opened, 30ms + 50ms + 2 * announcement.size() * BYTE_TIME);
}

TEST_F(SimulatedBackendTest, PortsOpenOnlyByNameAndExclusively)
{
    Add(7, Options(sim::LoaderKind::Erase, 0));
    SerialPort missing;
    EXPECT_FALSE(missing.OpenPort(owner->Window(), 8, 115200, 'N', 8, 1, 3, 2048));
    EXPECT_NE(0u, backend.LastErrorCode());

    ASSERT_NE(nullptr, OpenMonitored(7));
    EXPECT_EQ(SerialInvalidHandle(), backend.OpenPort("COM7"));  // held by the engine
    std::string error;
    EXPECT_FALSE(backend.AddDevice("COM7", Options(sim::LoaderKind::Erase, 0), error));
    EXPECT_FALSE(backend.RemoveDevice("COM7"));

    ports.clear();
    const sim::SimReport report = backend.Report("COM7");
    EXPECT_TRUE(report.lineClosedByTool);
    EXPECT_TRUE(report.closedBeforeFirstByte);
    EXPECT_TRUE(backend.RemoveDevice("COM7"));
}

TEST_F(SimulatedBackendTest, VanishingDeviceHangsUpAfterItsLastReply)
{
    ErrorBoxRecorder boxes;
    sim::SimOptions options = Options(sim::LoaderKind::Erase, SLOW_BAUD);
    options.faults.vanishAfter = 1;
    Add(9, options);
    SerialPort* port = OpenMonitored(9);
    ASSERT_NE(nullptr, port);
    ASSERT_TRUE(port->QueueTransmit(EraseFrame(sim::ERASE_FIRST_ADDRESS).c_str()));
    // The reply still comes whole; then the engine's read fails and it says so.
    ASSERT_TRUE(PumpUntilBytes(9, EOK_LENGTH));
    EXPECT_TRUE(owner->PumpUntil([&] { return boxes.Count() > 0; }, 5s));
    EXPECT_EQ("*EOK#", BytesFrom(9));
    EXPECT_TRUE(backend.Report("COM9").vanished);
    EXPECT_TRUE(backend.WaitFinished("COM9", 0));
}

}  // namespace
