// The serial engine over real lines: reception, the event character, the transmit
// slot and its purge, opening, closing and reopening, and the failures the engine
// must survive. Platform-free: the line, the owner and the error boxes come from
// LineFixture.h.
#include "ForwardingBackend.h"
#include "LineFixture.h"

#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class SerialPortTest : public ::testing::Test {
protected:
    // Opens `port` on COM<portnr> as Dunmere does (115200 8N1, mask 3).
    BOOL Open(SerialPort& port, unsigned portnr, int txBufferSize = 2048)
    {
        return port.OpenPort(owner->Window(), portnr, 115200, 'N', 8, 1, 3, txBufferSize);
    }

    // Opens `port` as above and starts its monitor.
    bool OpenMonitored(SerialPort& port, unsigned portnr, int txBufferSize = 2048)
    {
        return Open(port, portnr, txBufferSize) && port.StartMonitor();
    }

    // Waits, without serving the owner, until the monitor has read something: it is
    // then handing the bytes over and blocks until the owner's thread takes them.
    static bool WaitUntilRead(const ForwardingBackend& backend)
    {
        for (int i = 0; i < 5000 && backend.reads == 0; ++i)
            std::this_thread::sleep_for(1ms);
        return backend.reads > 0;
    }

    // Pumps until `count` bytes have arrived in all.
    bool WaitForBytes(std::size_t count)
    {
        return owner->PumpUntil([&] { return owner->CountOf(MSG_SERIAL_RX_CHAR) >= count; }, 5s);
    }

    // What the engine sent, until `count` bytes came (at most 5 s), serving the owner
    // meanwhile: the monitor may first have to hand over a notification.
    std::string PeerReadServing(TestLine& line, std::size_t count)
    {
        std::string got;
        owner->PumpUntil(
            [&] {
                got += line.PeerReadAvailable();
                return got.size() >= count;
            },
            5s);
        return got;
    }

    // Sends `data` from the device and checks that it arrives (the monitor serves the line).
    void ExpectExchange(TestLine& line, const std::string& data)
    {
        const std::size_t before = owner->CountOf(MSG_SERIAL_RX_CHAR);
        ASSERT_TRUE(line.PeerWrite(data));
        ASSERT_TRUE(WaitForBytes(before + data.size()));
        EXPECT_EQ(owner->BytesOf(MSG_SERIAL_RX_CHAR).substr(before), data);
    }

    std::unique_ptr<TestOwner> owner = TestOwner::Create();
    ErrorBoxRecorder boxes;
};

TEST_F(SerialPortTest, DeliversEveryByteInOrderWithThePortNumber)
{
    auto line = TestLine::Create(3);
    ASSERT_TRUE(line);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 3));

    std::string data;
    for (int round = 0; round < 4; ++round) {
        for (int value = 0; value < 256; ++value)
            data.push_back(static_cast<char>(value));
    }
    ASSERT_TRUE(line->PeerWrite(data));
    ASSERT_TRUE(WaitForBytes(data.size()));
    EXPECT_EQ(owner->BytesOf(MSG_SERIAL_RX_CHAR), data);
    for (const OwnerMessage& m : owner->Messages())
        EXPECT_EQ(m.lParam, 3);
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(SerialPortTest, PortLeftWithFlowControlOnCarriesEveryByteAndKeepsSending)
{
    auto line = TestLine::Create(3, LineStart::FreshTerminal);
    ASSERT_TRUE(line);
    ASSERT_NE(line->FlowControlOnLine(), "") << "the fixture left no flow control on";
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 3));
    EXPECT_EQ(line->FlowControlOnLine(), "");

    // Every byte value arrives as sent: XON (0x11), XOFF (0x13), CR, bytes with bit 7.
    std::string data;
    for (int round = 0; round < 2; ++round) {
        for (int value = 0; value < 256; ++value)
            data.push_back(static_cast<char>(value));
    }
    ASSERT_TRUE(line->PeerWrite(data));
    ASSERT_TRUE(WaitForBytes(data.size()));
    EXPECT_EQ(owner->BytesOf(MSG_SERIAL_RX_CHAR), data);

    // An XOFF from the device is a byte like any other: transmissions still go out.
    ExpectExchange(*line, "\x13");
    ASSERT_TRUE(port.QueueTransmit("after XOFF\r\n"));
    EXPECT_EQ(PeerReadServing(*line, 12), "after XOFF\r\n");
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(SerialPortTest, EventCharacterIsNotifiedOnceAfterTheBytesOfItsWake)
{
    auto line = TestLine::Create(2);
    ASSERT_TRUE(line);
    if (!line->Supports(LineFeature::EventCharacter))
        GTEST_SKIP() << "this platform's driver raises no event-character event";
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 2));

    ASSERT_TRUE(line->PeerWrite("aqb"));
    ASSERT_TRUE(owner->PumpUntil(
        [&] { return owner->CountOf(MSG_SERIAL_RX_CHAR) == 3 && owner->CountOf(MSG_SERIAL_EVENT_CHAR) == 1; }, 5s));
    const auto messages = owner->Messages();
    const auto q = std::find_if(messages.begin(), messages.end(), [](const OwnerMessage& m) {
        return m.message == MSG_SERIAL_RX_CHAR && m.wParam == 'q';
    });
    const auto event = std::find_if(messages.begin(), messages.end(),
                                    [](const OwnerMessage& m) { return m.message == MSG_SERIAL_EVENT_CHAR; });
    ASSERT_NE(event, messages.end());
    EXPECT_LT(q - messages.begin(), event - messages.begin());
    EXPECT_EQ(event->wParam, 0u);
    EXPECT_EQ(event->lParam, 2);

    // Bytes without the event character raise no notification.
    ExpectExchange(*line, "xyz");
    owner->PumpFor(50ms);
    EXPECT_EQ(owner->CountOf(MSG_SERIAL_EVENT_CHAR), 1u);
}

TEST_F(SerialPortTest, TextFormSendsNoTerminatorAndByteFormSendsZeros)
{
    auto line = TestLine::Create(1);
    ASSERT_TRUE(line);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 1));

    ASSERT_TRUE(port.QueueTransmit("*IAPK#"));
    EXPECT_EQ(line->PeerRead(6, 5s), "*IAPK#");
    const std::uint8_t frame[] = {0x00, '+', 0x00, 0x00, 0xFF, 0x00, '-'};
    ASSERT_TRUE(port.QueueTransmit(frame, sizeof frame));
    EXPECT_EQ(line->PeerRead(sizeof frame, 5s), std::string(reinterpret_cast<const char*>(frame), sizeof frame));
    EXPECT_EQ(line->PeerRead(1, 100ms), "");  // no terminator, nothing extra
}

TEST_F(SerialPortTest, OversizeTransmissionIsRefusedAndNothingIsSent)
{
    auto line = TestLine::Create(1);
    ASSERT_TRUE(line);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 1, 16));
    EXPECT_EQ(port.GetTxBufferSize(), 16u);

    const std::uint8_t big[17] = {};
    EXPECT_FALSE(port.QueueTransmit(big, 17));
    EXPECT_FALSE(port.QueueTransmit("0123456789ABCDEF"));  // 16 characters + terminator
    EXPECT_FALSE(port.QueueTransmit(big, -1));
    EXPECT_EQ(line->PeerRead(1, 100ms), "");

    // What fits still goes out whole.
    EXPECT_TRUE(port.QueueTransmit("0123456789ABCDE"));
    EXPECT_EQ(line->PeerRead(15, 5s), "0123456789ABCDE");
    const std::uint8_t full[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_TRUE(port.QueueTransmit(full, 16));
    EXPECT_EQ(line->PeerRead(16, 5s).size(), 16u);
}

TEST_F(SerialPortTest, SecondQueuedTransmissionReplacesTheFirst)
{
    auto line = TestLine::Create(1);
    ASSERT_TRUE(line);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 1));

    // Inside the handler the monitor is busy handing the byte over, so neither
    // transmission can have started when the second replaces the first.
    owner->SetHook([&](const OwnerMessage& m) {
        if (m.message == MSG_SERIAL_RX_CHAR && m.wParam == '-') {
            port.QueueTransmit("*FIRST#");
            port.QueueTransmit("*2ND#");
        }
    });
    ASSERT_TRUE(line->PeerWrite("+RECV-"));
    ASSERT_TRUE(WaitForBytes(6));
    EXPECT_EQ(line->PeerRead(5, 5s), "*2ND#");
    EXPECT_EQ(line->PeerRead(1, 100ms), "");
}

// Writes a reply byte from the device at the moment the transmission's purge comes,
// after the transmission was queued: a byte waiting unread when a transmission starts.
class ReplyAtPurge : public ForwardingBackend {
public:
    bool Purge(PortHandle port, std::uint32_t flags) override
    {
        if (armed.exchange(false)) {
            delivered = line->PeerWrite("Z") && line->WaitUntilDelivered(5s);
        }
        return ForwardingBackend::Purge(port, flags);
    }
    std::atomic<bool> armed{false};
    std::atomic<bool> delivered{false};
    TestLine* line = nullptr;
};

TEST_F(SerialPortTest, ReplyLeftUnreadWhenATransmissionStartsIsPurged)
{
    auto line = TestLine::Create(1);
    ASSERT_TRUE(line);
    ReplyAtPurge backend;
    backend.line = line.get();
    ScopedBackend scope(backend);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 1));

    owner->SetHook([&](const OwnerMessage& m) {
        if (m.message == MSG_SERIAL_RX_CHAR && m.wParam == 'A') {
            backend.armed = true;  // the monitor's next purge is the transmission's
            port.QueueTransmit("T");
        }
    });
    ASSERT_TRUE(line->PeerWrite("A"));
    ASSERT_TRUE(WaitForBytes(1));
    EXPECT_EQ(line->PeerRead(1, 5s), "T");
    EXPECT_TRUE(backend.delivered);
    owner->PumpFor(100ms);
    EXPECT_EQ(owner->BytesOf(MSG_SERIAL_RX_CHAR), "A");  // never the purged Z
    ExpectExchange(*line, "B");                          // and the line still works
}

TEST_F(SerialPortTest, ClosePortEndsTheMonitorClosesThePortAndNullsTheHandle)
{
    auto line = TestLine::Create(4);
    ASSERT_TRUE(line);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 4));
    ExpectExchange(*line, "x");

    port.ClosePort();
    ASSERT_TRUE(owner->PumpUntil([&] { return port.m_hComm == nullptr; }, 5s));
    // The port is free again: another port object gets it.
    SerialPort other;
    EXPECT_TRUE(Open(other, 4));
}

TEST_F(SerialPortTest, ClosePortWithoutMonitorLeavesThePortOpenUntilTheNextOpen)
{
    auto line = TestLine::Create(4);
    ASSERT_TRUE(line);
    SerialPort port;
    ASSERT_TRUE(Open(port, 4));
    port.ClosePort();
    owner->PumpFor(20ms);
    EXPECT_NE(port.m_hComm, nullptr);
    if (line->Supports(LineFeature::ExclusiveOpen)) {
        SerialPort other;
        EXPECT_FALSE(Open(other, 4));  // still held
    }

    ASSERT_TRUE(Open(port, 4));  // clears the stop request, reopens
    ASSERT_TRUE(port.StartMonitor());
    ExpectExchange(*line, "ok");
}

TEST_F(SerialPortTest, ReopensWhileMonitoringOnTheSameNumberAndOnAnother)
{
    auto line1 = TestLine::Create(1);
    auto line2 = TestLine::Create(2);
    ASSERT_TRUE(line1 && line2);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 1));
    ExpectExchange(*line1, "a");

    // Same number: the old monitor closes the old handle before the new open.
    ASSERT_TRUE(Open(port, 1));
    EXPECT_NE(port.m_hComm, nullptr);
    ASSERT_TRUE(line1->PeerWrite("-"));  // nobody reads it: no monitor until StartMonitor
    owner->PumpFor(50ms);
    EXPECT_EQ(owner->BytesOf(MSG_SERIAL_RX_CHAR), "a");
    ASSERT_TRUE(port.StartMonitor());
    ExpectExchange(*line1, "b");

    // Another number: COM1 is released, COM2 is served.
    ASSERT_TRUE(OpenMonitored(port, 2));
    ExpectExchange(*line2, "c");
    ASSERT_TRUE(port.QueueTransmit("to2"));
    EXPECT_EQ(line2->PeerRead(3, 5s), "to2");
    SerialPort other;
    EXPECT_TRUE(Open(other, 1));
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(SerialPortTest, MissingPortReturnsFalseAndALaterOpenSucceeds)
{
    TestLine::MapMissing(6);
    SerialPort port;
    EXPECT_FALSE(Open(port, 6));
    EXPECT_EQ(port.m_hComm, SerialInvalidHandle());
    EXPECT_FALSE(port.StartMonitor());            // nothing to monitor
    EXPECT_FALSE(port.QueueTransmit("nowhere"));  // nothing to send it on
    port.ClosePort();                             // as a dialog does before its next pick

    auto line = TestLine::Create(6);
    ASSERT_TRUE(line);
    ASSERT_TRUE(OpenMonitored(port, 6));
    ExpectExchange(*line, "up");
    EXPECT_EQ(boxes.Count(), 0u);  // a failed open reports nothing itself
}

TEST_F(SerialPortTest, PortHeldByAnotherProgramIsRefused)
{
    auto line = TestLine::Create(3);
    ASSERT_TRUE(line);
    if (!line->Supports(LineFeature::ExclusiveOpen))
        GTEST_SKIP() << "this platform doesn't refuse a second open of a port";
    {
        auto holder = PortHolder::Hold(3);
        ASSERT_TRUE(holder);
        SerialPort port;
        EXPECT_FALSE(Open(port, 3));
        EXPECT_EQ(port.m_hComm, SerialInvalidHandle());
    }
    SerialPort port;
    EXPECT_TRUE(Open(port, 3));  // free again once the other program let go
}

TEST_F(SerialPortTest, PortsFiveToEightWorkLikeTheOthers)
{
    for (unsigned n = 5; n <= 8; ++n) {
        SCOPED_TRACE(n);
        auto line = TestLine::Create(n);
        ASSERT_TRUE(line);
        SerialPort port;
        ASSERT_TRUE(OpenMonitored(port, n));
        const std::size_t before = owner->Messages().size();
        ExpectExchange(*line, "n");
        EXPECT_EQ(owner->Messages()[before].lParam, static_cast<std::intptr_t>(n));
        ASSERT_TRUE(port.QueueTransmit("ack"));
        EXPECT_EQ(line->PeerRead(3, 5s), "ack");
    }
}

class FailingEventMask : public ForwardingBackend {
public:
    bool SetEventMask(PortHandle, std::uint32_t) override { return false; }
    bool GetLineState(PortHandle port, LineState& state) override
    {
        ++lineStateReads;
        return ForwardingBackend::GetLineState(port, state);
    }
    std::atomic<int> lineStateReads{0};
};

TEST_F(SerialPortTest, FailingConfigurationStepShowsOneErrorAndTheOpenSucceeds)
{
    auto line = TestLine::Create(3);
    ASSERT_TRUE(line);
    FailingEventMask backend;
    ScopedBackend scope(backend);
    SerialPort port;
    ASSERT_TRUE(Open(port, 3));
    ASSERT_EQ(boxes.Count(), 1u);
    const std::string text = boxes.Texts()[0];
    EXPECT_EQ(text.rfind("WARNING:  SetCommMask() Failed with the following error: \n", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - 9), "\nPort: 3\n") << text;
    EXPECT_EQ(boxes.Captions()[0], "Application Error");
    EXPECT_EQ(backend.lineStateReads, 0);  // the rest of the chain is skipped

    ASSERT_TRUE(port.StartMonitor());
    ASSERT_TRUE(port.QueueTransmit("still"));
    EXPECT_EQ(line->PeerRead(5, 5s), "still");
    EXPECT_EQ(boxes.Count(), 1u);
}

class FailingFirstWrite : public ForwardingBackend {
public:
    PortIo WritePort(PortHandle port, const std::uint8_t* data, std::uint32_t count, std::uint32_t& sent,
                     EventHandle abortEvent) override
    {
        if (failNext.exchange(false)) {
            sent = 0;
            return PortIo::FailedStart;
        }
        return ForwardingBackend::WritePort(port, data, count, sent, abortEvent);
    }
    std::atomic<bool> failNext{true};
};

TEST_F(SerialPortTest, FailedWriteShowsOneErrorAndTheNextWriteGoesOut)
{
    auto line = TestLine::Create(2);
    ASSERT_TRUE(line);
    FailingFirstWrite backend;
    ScopedBackend scope(backend);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 2));

    ASSERT_TRUE(port.QueueTransmit("lost"));
    ASSERT_TRUE(owner->PumpUntil([&] { return boxes.Count() == 1; }, 5s));
    EXPECT_EQ(boxes.Texts()[0].rfind("WARNING:  WriteFile() Failed with the following error: \n", 0), 0u);
    EXPECT_EQ(boxes.Texts()[0].substr(boxes.Texts()[0].size() - 9), "\nPort: 2\n");
    ASSERT_TRUE(port.QueueTransmit("next"));
    EXPECT_EQ(line->PeerRead(4, 5s), "next");  // the lock was released, nothing repeated
    ExpectExchange(*line, "r");
    EXPECT_EQ(boxes.Count(), 1u);
}

TEST_F(SerialPortTest, ErrorTextIsCutToItsBuffer)
{
    SerialPort port;
    const std::string longName(400, 'X');
    port.ReportPortError(longName.c_str());
    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.Texts()[0].size(), 199u);
    EXPECT_EQ(boxes.Texts()[0].rfind("WARNING:  XXX", 0), 0u);
    EXPECT_EQ(boxes.Captions()[0], "Application Error");
}

// Counts the monitor's reads so that a test can wait until a byte was read and is
// being handed over.
using CountingBackend = ForwardingBackend;

TEST_F(SerialPortTest, ReopeningWhileAByteIsHandedOverNeitherDeadlocksNorLosesIt)
{
    auto line1 = TestLine::Create(1);
    auto line2 = TestLine::Create(2);
    ASSERT_TRUE(line1 && line2);
    CountingBackend backend;
    ScopedBackend scope(backend);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 1));

    // The owner's thread doesn't pump: the monitor reads the byte and blocks in its
    // hand-over. The reopen must deliver it while it waits for the monitor.
    ASSERT_TRUE(line1->PeerWrite("K"));
    ASSERT_TRUE(WaitUntilRead(backend));
    ASSERT_TRUE(Open(port, 2));
    EXPECT_EQ(owner->BytesOf(MSG_SERIAL_RX_CHAR), "K");
}

TEST_F(SerialPortTest, DestroyingWhileAByteIsHandedOverNeitherDeadlocksNorLosesIt)
{
    auto line = TestLine::Create(1);
    ASSERT_TRUE(line);
    CountingBackend backend;
    ScopedBackend scope(backend);
    {
        SerialPort port;
        ASSERT_TRUE(OpenMonitored(port, 1));
        ASSERT_TRUE(line->PeerWrite("D"));
        ASSERT_TRUE(WaitUntilRead(backend));
    }
    EXPECT_EQ(owner->BytesOf(MSG_SERIAL_RX_CHAR), "D");
}

TEST_F(SerialPortTest, LineQuietForLongerThanItsReadTimeoutsIsNotAFailure)
{
    // The user takes a while to choose the file, or the device a while to answer: the
    // line says nothing for three times its read timeouts (1000 ms interval + 1000 ms
    // total), and then the exchange goes on as if there had been no pause.
    auto line = TestLine::Create(3);
    ASSERT_TRUE(line);
    CountingBackend backend;
    ScopedBackend scope(backend);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 3));
    owner->PumpFor(6s);
    EXPECT_EQ(boxes.Count(), 0u) << (boxes.Count() ? boxes.Texts()[0] : "");
    EXPECT_LT(backend.calls, 200) << "the monitor polls a quiet line";

    std::string burst;
    for (int value = 0; value < 256; ++value)
        burst.push_back(static_cast<char>(value));
    ExpectExchange(*line, burst);
    EXPECT_TRUE(port.QueueTransmit("+E0400-"));
    EXPECT_EQ(PeerReadServing(*line, 7), "+E0400-");
    // A second pause in the middle of a run: the reply after it still arrives.
    owner->PumpFor(2500ms);
    ExpectExchange(*line, "*EOK-");
    EXPECT_TRUE(port.QueueTransmit("+E0440-"));
    EXPECT_EQ(PeerReadServing(*line, 7), "+E0440-");
    EXPECT_EQ(boxes.Count(), 0u) << (boxes.Count() ? boxes.Texts()[0] : "");
}

TEST_F(SerialPortTest, HungUpLineIsReportedOnceAndGivenUp)
{
    auto line = TestLine::Create(5);
    ASSERT_TRUE(line);
    if (!line->Supports(LineFeature::HangUp))
        GTEST_SKIP() << "this platform's lines can't be hung up";
    CountingBackend backend;
    ScopedBackend scope(backend);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 5));
    ExpectExchange(*line, "1");

    line->PeerHangUp();  // the adapter is pulled
    ASSERT_TRUE(owner->PumpUntil([&] { return boxes.Count() >= 1; }, 5s));
    owner->PumpFor(20ms);
    const int callsAfterReport = backend.calls;
    owner->PumpFor(200ms);
    EXPECT_EQ(boxes.Count(), 1u);
    EXPECT_LE(backend.calls - callsAfterReport, 2) << "the monitor keeps polling a dead port";
    // The box names the call that failed first: the read, or on Win32 whichever of the
    // pending comm-event wait and the status query meets the dead line first.
    const std::string text = boxes.Texts()[0];
    const bool namesAFailedPortCall =
        text.rfind("WARNING:  ReadFile() Failed with the following error: \n", 0) == 0 ||
        text.rfind("WARNING:  WaitCommEvent() Failed with the following error: \n", 0) == 0 ||
        text.rfind("WARNING:  ClearCommError() Failed with the following error: \n", 0) == 0;
    EXPECT_TRUE(namesAFailedPortCall) << text;

    // The port is given up: the owner learns it from QueueTransmit; the stop still works.
    EXPECT_FALSE(port.QueueTransmit("lost"));
    const std::uint8_t frame[] = {'+', 'E', '0', '0', '0', '0', '-'};
    EXPECT_FALSE(port.QueueTransmit(frame, sizeof frame));
    owner->PumpFor(20ms);
    EXPECT_EQ(boxes.Count(), 1u);
    port.ClosePort();
    EXPECT_TRUE(owner->PumpUntil([&] { return port.m_hComm == nullptr; }, 5s));

    // A new open of the port starts afresh.
    auto fresh = TestLine::Create(5);
    ASSERT_TRUE(fresh);
    ASSERT_TRUE(OpenMonitored(port, 5));
    EXPECT_TRUE(port.QueueTransmit("again"));
    EXPECT_EQ(fresh->PeerRead(5, 5s), "again");
}

TEST_F(SerialPortTest, SingleFailedWaitOrReadShowsOneBoxAndThePortGoesOn)
{
    auto line = TestLine::Create(6);
    ASSERT_TRUE(line);
    ForwardingBackend backend;
    ScopedBackend scope(backend);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 6));
    ExpectExchange(*line, "0");

    // The comm-event wait fails once (it is started again after each drain).
    backend.failCommWaits = 1;
    ExpectExchange(*line, "1");  // the drain that ends starts the wait that fails
    ASSERT_TRUE(owner->PumpUntil([&] { return boxes.Count() >= 1; }, 5s));
    EXPECT_EQ(boxes.Texts()[0].rfind("WARNING:  WaitCommEvent() Failed with the following error: \n", 0), 0u)
        << boxes.Texts()[0];
    ExpectExchange(*line, "after the wait");
    ASSERT_TRUE(port.QueueTransmit("frame 1"));
    EXPECT_EQ(line->PeerRead(7, 5s), "frame 1");
    EXPECT_EQ(boxes.Count(), 1u);

    // One read fails: its bytes stay waiting and come with the next try.
    backend.failReads = 1;
    const std::size_t before = owner->CountOf(MSG_SERIAL_RX_CHAR);
    ASSERT_TRUE(line->PeerWrite("kept"));
    ASSERT_TRUE(WaitForBytes(before + 4));
    EXPECT_EQ(backend.failedReads, 1);
    EXPECT_EQ(owner->BytesOf(MSG_SERIAL_RX_CHAR).substr(before), "kept");
    ASSERT_EQ(boxes.Count(), 2u);
    EXPECT_EQ(boxes.Texts()[1].rfind("WARNING:  ReadFile() Failed with the following error: \ninjected failure", 0), 0u)
        << boxes.Texts()[1];
    ExpectExchange(*line, "after the read");
    ASSERT_TRUE(port.QueueTransmit("frame 2"));
    EXPECT_EQ(line->PeerRead(7, 5s), "frame 2");
    owner->PumpFor(50ms);
    EXPECT_EQ(boxes.Count(), 2u);
}

TEST_F(SerialPortTest, ReadsThatKeepFailingEndInOneMoreReportAndNoSpinning)
{
    auto line = TestLine::Create(6);
    ASSERT_TRUE(line);
    ForwardingBackend backend;
    ScopedBackend scope(backend);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 6));
    ExpectExchange(*line, "ok");

    // Every read fails from now on, with an error that says nothing about the device:
    // the port is tried a few times, with pauses, then given up.
    backend.failReads = -1;
    ASSERT_TRUE(line->PeerWrite("x"));
    ASSERT_TRUE(owner->PumpUntil([&] { return boxes.Count() >= 2; }, 10s));
    EXPECT_FALSE(port.QueueTransmit("gone"));
    const int failed = backend.failedReads;
    EXPECT_GE(failed, 2);
    EXPECT_LE(failed, 10);
    const int calls = backend.calls;
    owner->PumpFor(200ms);
    EXPECT_LE(backend.calls - calls, 2) << "the monitor keeps polling a port it gave up";
    EXPECT_EQ(boxes.Count(), 2u) << "the first failure and the giving up";
    EXPECT_EQ(owner->BytesOf(MSG_SERIAL_RX_CHAR), "ok");

    // Failures that a vanishing device gives end it at the second in a row.
    backend.failReads = -1;
    backend.injectedKind = PortFailure::Suspect;
    ASSERT_TRUE(OpenMonitored(port, 6));
    const int suspectBefore = backend.failedReads;
    ASSERT_TRUE(line->PeerWrite("y"));
    ASSERT_TRUE(owner->PumpUntil([&] { return boxes.Count() >= 4; }, 10s));
    EXPECT_FALSE(port.QueueTransmit("gone"));
    EXPECT_EQ(backend.failedReads - suspectBefore, 2);
    owner->PumpFor(50ms);
    EXPECT_EQ(boxes.Count(), 4u);
}

// Keeps every failure report it is handed (monitor thread and owner's thread).
class RecordingReporter : public PortFailureReporter {
public:
    void ReportPortFailure(const PortFailureReport& failure) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_reports.push_back(failure);
    }
    std::vector<PortFailureReport> Reports() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_reports;
    }

private:
    mutable std::mutex m_lock;
    std::vector<PortFailureReport> m_reports;
};

TEST_F(SerialPortTest, ReporterGetsEachFailureAsAValueInsteadOfTheBox)
{
    auto line = TestLine::Create(6);
    ASSERT_TRUE(line);
    ForwardingBackend backend;
    ScopedBackend scope(backend);
    RecordingReporter reporter;
    SerialPort port;
    port.SetFailureReporter(&reporter);
    ASSERT_TRUE(OpenMonitored(port, 6));
    ExpectExchange(*line, "ok");

    // One failed read: reported, the port goes on.
    backend.failReads = 1;
    ExpectExchange(*line, "kept");
    ASSERT_EQ(reporter.Reports().size(), 1u);
    PortFailureReport first = reporter.Reports()[0];
    EXPECT_STREQ(first.call, "ReadFile()");
    EXPECT_EQ(first.code, ForwardingBackend::INJECTED_CODE);
    EXPECT_EQ(first.text, "injected failure");
    EXPECT_EQ(first.kind, PortFailure::Transient);
    EXPECT_EQ(first.portNumber, 6u);
    EXPECT_FALSE(first.givenUp);
    // The box's words come from the same value.
    EXPECT_EQ(PortFailureBoxText(first),
              "WARNING:  ReadFile() Failed with the following error: \ninjected failure\nPort: 6\n");

    // Reads that a vanishing device fails: the second in a row gives the port up, and
    // that report says so.
    backend.injectedKind = PortFailure::Suspect;
    backend.failReads = -1;
    ASSERT_TRUE(line->PeerWrite("x"));
    ASSERT_TRUE(owner->PumpUntil([&] { return reporter.Reports().size() >= 3; }, 10s));
    const auto reports = reporter.Reports();
    EXPECT_FALSE(reports[1].givenUp);
    EXPECT_TRUE(reports[2].givenUp);
    EXPECT_EQ(reports[2].kind, PortFailure::Suspect);
    EXPECT_FALSE(port.QueueTransmit("gone"));

    // A report the owner asks for goes the same way; no box was ever shown.
    port.ReportPortError("GetCommState()");
    ASSERT_EQ(reporter.Reports().size(), 4u);
    EXPECT_STREQ(reporter.Reports()[3].call, "GetCommState()");
    EXPECT_EQ(boxes.Count(), 0u);

    // Without a reporter, the box again.
    port.SetFailureReporter(nullptr);
    port.ReportPortError("GetCommState()");
    EXPECT_EQ(boxes.Count(), 1u);
}

TEST_F(SerialPortTest, ReceivedInputIsDeliveredBeforeAWaitingTransmission)
{
    auto line = TestLine::Create(2);
    ASSERT_TRUE(line);
    // At the end of a drain (the status query that finds nothing waiting), queue a
    // transmission and let a reply byte arrive: when the monitor next waits, both the
    // port and the transmission are due.
    struct InputAndTransmission : ForwardingBackend {
        bool GetBytesWaiting(PortHandle port, std::uint32_t& waiting) override
        {
            const bool ok = ForwardingBackend::GetBytesWaiting(port, waiting);
            if (ok && waiting == 0 && armed.exchange(false)) {
                queued = serial->QueueTransmit("T");
                delivered = line->PeerWrite("B") && line->WaitUntilDelivered(5s);
            }
            return ok;
        }
        PortIo WritePort(PortHandle port, const std::uint8_t* data, std::uint32_t count, std::uint32_t& sent,
                         EventHandle abortEvent) override
        {
            receivedAtWrite = static_cast<int>(owner->CountOf(MSG_SERIAL_RX_CHAR));
            return ForwardingBackend::WritePort(port, data, count, sent, abortEvent);
        }
        std::atomic<bool> armed{false}, queued{false}, delivered{false};
        std::atomic<int> receivedAtWrite{-1};
        SerialPort* serial = nullptr;
        TestLine* line = nullptr;
        TestOwner* owner = nullptr;
    } backend;
    ScopedBackend scope(backend);
    SerialPort port;
    backend.serial = &port;
    backend.line = line.get();
    backend.owner = owner.get();
    ASSERT_TRUE(OpenMonitored(port, 2));

    owner->SetHook([&](const OwnerMessage& m) {
        if (m.message == MSG_SERIAL_RX_CHAR && m.wParam == 'A')
            backend.armed = true;
    });
    ASSERT_TRUE(line->PeerWrite("A"));
    // (The owner is served meanwhile: a reply is delivered before the write begins.)
    ASSERT_TRUE(owner->PumpUntil([&] { return backend.receivedAtWrite >= 0; }, 5s));
    EXPECT_EQ(line->PeerRead(1, 5s), "T");
    owner->PumpFor(50ms);
    EXPECT_TRUE(backend.queued);
    EXPECT_TRUE(backend.delivered);
    EXPECT_EQ(owner->BytesOf(MSG_SERIAL_RX_CHAR), "AB") << "the transmission's purge dropped the reply";
    EXPECT_EQ(backend.receivedAtWrite, 2) << "the write began before the reply was delivered";
}

TEST_F(SerialPortTest, StalledWriteNeverHoldsUpACloseOrTheDestructor)
{
    // The device reads nothing: once the line's buffers are full the write can't go
    // on, and its timeout (1 s a byte) would run for weeks.
    constexpr int BIG_WRITE = 4 << 20;
    std::string big(BIG_WRITE, 'w');
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(big.data());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "ClosePort" : "destructor");
        auto line = TestLine::Create(4);
        ASSERT_TRUE(line);
        ForwardingBackend backend;
        ScopedBackend scope(backend);
        auto port = std::make_unique<SerialPort>();
        ASSERT_TRUE(OpenMonitored(*port, 4, BIG_WRITE));
        ASSERT_TRUE(port->QueueTransmit(bytes, BIG_WRITE));
        ASSERT_TRUE(owner->PumpUntil([&] { return backend.writesStarted > 0; }, 5s));
        owner->PumpFor(300ms);  // the write is held up now

        const auto started = std::chrono::steady_clock::now();
        if (round == 0) {
            port->ClosePort();
            EXPECT_TRUE(owner->PumpUntil([&] { return port->m_hComm == nullptr; }, 10s));
        }
        port.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
        EXPECT_EQ(boxes.Count(), 0u);
    }
}

TEST_F(SerialPortTest, SuspendedMonitorServesNothingUntilResumedAndDoesNotHoldUpDestruction)
{
    auto line = TestLine::Create(7);
    ASSERT_TRUE(line);
    {
        SerialPort port;
        ASSERT_TRUE(OpenMonitored(port, 7));
        EXPECT_TRUE(port.StopMonitor());
        ASSERT_TRUE(line->PeerWrite("s"));
        owner->PumpFor(100ms);
        EXPECT_EQ(owner->CountOf(MSG_SERIAL_RX_CHAR), 0u);
        EXPECT_TRUE(port.RestartMonitor());
        ASSERT_TRUE(WaitForBytes(1));

        EXPECT_TRUE(port.StopMonitor());
    }  // destroyed while suspended: must return
    EXPECT_EQ(owner->BytesOf(MSG_SERIAL_RX_CHAR), "s");
}

TEST_F(SerialPortTest, NeverOpenedPortIsDestroyedAtOnce)
{
    SerialPort port;
    EXPECT_EQ(port.m_hComm, nullptr);
    EXPECT_FALSE(port.StartMonitor());
    port.ClosePort();
}

TEST_F(SerialPortTest, OpenAppliesTheLineSettingsAndTheEventCharacter)
{
    auto line = TestLine::Create(4);
    ASSERT_TRUE(line);
    SerialPort port;
    ASSERT_TRUE(port.OpenPort(owner->Window(), 4, 19200, 'N', 8, 1, 3, 512));
    const LineState state = port.GetLineState();
    EXPECT_EQ(state.BaudRate, 19200u);
    EXPECT_EQ(state.ByteSize, 8);
    EXPECT_EQ(state.Parity, SERIAL_NOPARITY);
    EXPECT_EQ(state.StopBits, SERIAL_ONESTOPBIT);
    EXPECT_EQ(state.EvtChar, 'q');
    EXPECT_EQ(state.fRtsControl, SERIAL_RTS_CONTROL_ENABLE);
    EXPECT_EQ(state.fOutxCtsFlow, 0u);
    EXPECT_EQ(state.fOutX, 0u);
    EXPECT_EQ(state.fInX, 0u);
    EXPECT_EQ(port.GetEventMask(), 3u);
    EXPECT_EQ(port.GetTxBufferSize(), 512u);
    EXPECT_EQ(boxes.Count(), 0u);
}

}  // namespace

// Queues the next frame the moment the write of the previous one has ended, so that the
// next transmission's purge follows that write at once.
class BackToBackWrites : public ForwardingBackend {
public:
    PortIo WritePort(PortHandle port, const std::uint8_t* data, std::uint32_t count, std::uint32_t& sent,
                     EventHandle abortEvent) override
    {
        const PortIo io = ForwardingBackend::WritePort(port, data, count, sent, abortEvent);
        if (next && left-- > 0)
            next();
        return io;
    }
    std::function<void()> next;
    std::atomic<int> left{0};
};

TEST_F(SerialPortTest, FrameWrittenJustBeforeTheNextTransmissionStillGoesOutWhole)
{
    auto line = TestLine::Create(3);
    ASSERT_TRUE(line);
    BackToBackWrites backend;
    ScopedBackend scope(backend);
    SerialPort port;
    ASSERT_TRUE(OpenMonitored(port, 3));
    constexpr int FRAMES = 200;
    int n = 0;
    backend.next = [&] { port.QueueTransmit(++n % 2 ? "*0000#" : "*IAPK#"); };
    backend.left = FRAMES - 1;
    ASSERT_TRUE(port.QueueTransmit("*IAPK#"));
    std::string expected;
    for (int i = 0; i < FRAMES; ++i)
        expected += i % 2 ? "*0000#" : "*IAPK#";
    const std::string got = line->PeerRead(expected.size(), 5s);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_EQ(got, expected);
}
