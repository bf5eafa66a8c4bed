// What the engine tests need from the platform, and nothing else: a serial line whose
// one end the engine opens as COM<n> and whose other end (the peer) the test plays as
// the device; an owner window on the test's thread whose messages are recorded; the
// error boxes; and a second program holding a port. The test cases use only this
// header and the engine, so that they run unchanged on every platform that has an
// implementation of it:
//   LineFixture.cpp:      the platform-free parts (recording, error boxes);
//   LineFixturePosix.cpp: openpty; COMn mapped with SetPortDevice;
//   LineFixtureWin32.cpp: COMn and a second port mapped by Wine to the two ends of a
//                         pseudo-terminal pair (the peer talks through the second).
#pragma once

#include "platform/OwnerWindow.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

// What a platform's lines may lack; tests that need it are skipped there.
enum class LineFeature {
    EventCharacter,  // the driver raises the event-character event (Wine doesn't)
    HangUp,          // PeerHangUp makes the engine's reads fail
    ExclusiveOpen,   // a second open of a port that is held fails (Wine doesn't refuse it)
};

// How the engine's end of a new line is set up before the engine opens it.
enum class LineStart {
    Raw,            // already raw, no flow control
    FreshTerminal,  // as a terminal starts, or as another program left it: XON/XOFF in
                    // both directions and hardware flow control on, input mapping (CR to
                    // NL, 7-bit stripping) where the platform has it
};

// A serial line: COM<portnr> for the engine, the peer for the test.
class TestLine {
public:
    // Makes COM<portnr> a new line set up as `start` says; null (and a gtest failure)
    // if it can't.
    static std::unique_ptr<TestLine> Create(unsigned portnr, LineStart start = LineStart::Raw);
    // Makes COM<portnr> name a port that doesn't exist.
    static void MapMissing(unsigned portnr);
    // Removes the mapping of COM<portnr> and closes the peer.
    virtual ~TestLine() = default;

    // The device writes `data` to the engine. True when all of it was written.
    virtual bool PeerWrite(const std::string& data) = 0;
    // What the engine sent: waits until `count` bytes came or `timeout` passed and
    // returns what came (fewer bytes on timeout).
    virtual std::string PeerRead(std::size_t count, std::chrono::milliseconds timeout) = 0;
    // Everything the engine sent that has arrived now (no waiting).
    virtual std::string PeerReadAvailable() = 0;
    // Waits until bytes the peer wrote are waiting unread on the engine's side (use it
    // while the engine is kept from reading). True unless `timeout` passed first.
    virtual bool WaitUntilDelivered(std::chrono::milliseconds timeout) = 0;
    // The device goes away (cable pulled): the engine's reads fail from now on.
    virtual void PeerHangUp() = 0;
    // The flow control set on the engine's end of the line now, as the platform's flag
    // names separated by blanks ("" for none).
    virtual std::string FlowControlOnLine() = 0;
    // The port number this line answers to.
    virtual unsigned PortNumber() const = 0;
    // Whether this platform's lines have `feature` (all of them, unless overridden).
    virtual bool Supports(LineFeature) const { return true; }
};

// One message as the owner's handler received it.
struct OwnerMessage {
    unsigned message;       // message number
    std::uintptr_t wParam;  // its wParam
    std::intptr_t lParam;   // its lParam
};

// An owner window on the test's thread that records every message it handles.
class TestOwner {
public:
    // Creates the window on the calling thread.
    static std::unique_ptr<TestOwner> Create();
    virtual ~TestOwner() = default;

    // The window to pass to OpenPort.
    virtual OwnerWindow* Window() = 0;
    // Serves the window's messages on this thread until `done()` or `timeout`;
    // returns done().
    virtual bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) = 0;
    // Serves the window's messages for `duration`.
    virtual void PumpFor(std::chrono::milliseconds duration) = 0;

    // Every message handled so far, in order.
    std::vector<OwnerMessage> Messages() const;
    // The wParam of every handled message `message`, in order, as bytes.
    std::string BytesOf(unsigned message) const;
    // How many messages `message` were handled.
    std::size_t CountOf(unsigned message) const;
    // Runs inside the handler after each message was recorded (on the owner's thread).
    void SetHook(std::function<void(const OwnerMessage&)> hook);

protected:
    // Implementations call this from the window's handler.
    void Record(const OwnerMessage& message);

private:
    // Guards m_messages and m_hook.
    mutable std::mutex m_lock;
    // The handled messages.
    std::vector<OwnerMessage> m_messages;
    // The test's hook, if any.
    std::function<void(const OwnerMessage&)> m_hook;
};

// Records every error box while it lives (replaces the platform's box).
class ErrorBoxRecorder {
public:
    ErrorBoxRecorder();
    ~ErrorBoxRecorder();
    // How many boxes were shown.
    std::size_t Count() const;
    // The texts of the boxes, in order.
    std::vector<std::string> Texts() const;
    // The captions of the boxes, in order.
    std::vector<std::string> Captions() const;

private:
    // Guards the two lists (boxes may come from the monitor thread).
    mutable std::mutex m_lock;
    // Texts and captions seen.
    std::vector<std::string> m_texts, m_captions;
};

// Another program that opens COM<portnr> and holds it while this object lives.
class PortHolder {
public:
    // Starts the holder and waits until it holds the port; null if it couldn't.
    static std::unique_ptr<PortHolder> Hold(unsigned portnr);
    virtual ~PortHolder() = default;
};
