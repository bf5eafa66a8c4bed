// A serial back end that forwards every call to the platform's own, for tests that
// need to make a call fail, count calls, or act at the moment a call is made.
// Install it with ScopedBackend while no monitor thread runs.
#pragma once

#include "platform/SerialBackend.h"

#include <atomic>

class ForwardingBackend : public SerialBackend {
public:
    EventHandle NewEvent() override { return Real().NewEvent(); }
    void SignalEvent(EventHandle event) override { Real().SignalEvent(event); }
    void ClearEvent(EventHandle event) override { Real().ClearEvent(event); }
    void DeleteEvent(EventHandle event) override { Real().DeleteEvent(event); }
    PortHandle OpenPort(const char* name) override { return Real().OpenPort(name); }
    bool SetTimeouts(PortHandle port, const CommTimeouts& timeouts) override
    {
        return Real().SetTimeouts(port, timeouts);
    }
    bool SetEventMask(PortHandle port, std::uint32_t mask) override { return Real().SetEventMask(port, mask); }
    bool GetLineState(PortHandle port, LineState& state) override { return Real().GetLineState(port, state); }
    bool BuildLineState(const char* settings, LineState& state) override
    {
        return Real().BuildLineState(settings, state);
    }
    bool SetLineState(PortHandle port, const LineState& state) override { return Real().SetLineState(port, state); }
    bool Purge(PortHandle port, std::uint32_t flags) override { return Real().Purge(port, flags); }
    CommWaitStart StartCommWait(PortHandle port, std::uint32_t* eventWord, PortOverlapped& overlapped) override
    {
        ++calls;
        if (TakeInjected(failCommWaits))
            return CommWaitStart::Failed;
        return Real().StartCommWait(port, eventWord, overlapped);
    }
    int WaitForEvents(const EventHandle* handles, unsigned count, unsigned timeoutMs) override
    {
        ++calls;
        return Real().WaitForEvents(handles, count, timeoutMs);
    }
    bool GetBytesWaiting(PortHandle port, std::uint32_t& waiting) override
    {
        ++calls;
        return Real().GetBytesWaiting(port, waiting);
    }
    PortIo ReadPort(PortHandle port, std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& got) override
    {
        ++calls;
        if (TakeInjected(failReads)) {
            got = 0;
            ++failedReads;
            return PortIo::FailedStart;
        }
        PortIo result = Real().ReadPort(port, buffer, capacity, got);
        ++reads;
        return result;
    }
    PortIo WritePort(PortHandle port, const std::uint8_t* data, std::uint32_t count, std::uint32_t& sent,
                     EventHandle abortEvent) override
    {
        ++writesStarted;
        return Real().WritePort(port, data, count, sent, abortEvent);
    }
    void ClosePort(PortHandle port) override { Real().ClosePort(port); }
    PortFailure LastFailureKind(PortHandle port) override
    {
        return t_injected ? injectedKind.load() : m_real.LastFailureKind(port);
    }
    std::uint32_t LastErrorCode() override { return t_injected ? INJECTED_CODE : m_real.LastErrorCode(); }
    std::string LastErrorText() override
    {
        return t_injected ? std::string("injected failure") : m_real.LastErrorText();
    }

    // The error code of an injected failure.
    static constexpr std::uint32_t INJECTED_CODE = 0x5EED;

    // Calls of the monitor's loop (comm wait, wait, status query, read) so far.
    std::atomic<int> calls{0};
    // Reads finished so far.
    std::atomic<int> reads{0};
    // Writes begun so far.
    std::atomic<int> writesStarted{0};
    // The next this many comm-wait starts fail (without starting a wait).
    std::atomic<int> failCommWaits{0};
    // The next this many reads fail (reading nothing); a negative count: every read.
    std::atomic<int> failReads{0};
    // Reads failed so far by failReads.
    std::atomic<int> failedReads{0};
    // What an injected failure says about the device.
    std::atomic<PortFailure> injectedKind{PortFailure::Transient};

protected:
    // The platform's back end, for a call that may fail: from now on the thread's last
    // error is the platform's again.
    SerialBackend& Real()
    {
        t_injected = false;
        return m_real;
    }
    // True (and the thread's last error is the injected one) when `counter` asks for a
    // failure now.
    static bool TakeInjected(std::atomic<int>& counter)
    {
        int left = counter.load();
        while (left != 0) {
            if (left < 0 || counter.compare_exchange_weak(left, left - 1)) {
                t_injected = true;
                return true;
            }
        }
        return false;
    }

private:
    // The platform's own back end.
    SerialBackend& m_real = PlatformSerialBackend();
    // The calling thread's last failure was an injected one.
    static inline thread_local bool t_injected = false;
};

// Installs a back end for the scope.
class ScopedBackend {
public:
    explicit ScopedBackend(SerialBackend& backend) { SetSerialBackendOverride(&backend); }
    ~ScopedBackend() { SetSerialBackendOverride(nullptr); }
    ScopedBackend(const ScopedBackend&) = delete;
    ScopedBackend& operator=(const ScopedBackend&) = delete;
};
