// A serial back end that forwards every call to the platform's own, for tests that
// need to make a call fail, count calls, or act at the moment a call is made.
// Install it with ScopedBackend while no monitor thread runs.
#pragma once

#include "platform/SerialBackend.h"

#include <atomic>

class ForwardingBackend : public SerialBackend {
public:
    EventHandle NewEvent() override { return m_real.NewEvent(); }
    void SignalEvent(EventHandle event) override { m_real.SignalEvent(event); }
    void ClearEvent(EventHandle event) override { m_real.ClearEvent(event); }
    void DeleteEvent(EventHandle event) override { m_real.DeleteEvent(event); }
    PortHandle OpenPort(const char* name) override { return m_real.OpenPort(name); }
    bool SetTimeouts(PortHandle port, const CommTimeouts& timeouts) override {
        return m_real.SetTimeouts(port, timeouts);
    }
    bool SetEventMask(PortHandle port, std::uint32_t mask) override { return m_real.SetEventMask(port, mask); }
    bool GetLineState(PortHandle port, LineState& state) override { return m_real.GetLineState(port, state); }
    bool BuildLineState(const char* settings, LineState& state) override {
        return m_real.BuildLineState(settings, state);
    }
    bool SetLineState(PortHandle port, const LineState& state) override {
        return m_real.SetLineState(port, state);
    }
    bool Purge(PortHandle port, std::uint32_t flags) override { return m_real.Purge(port, flags); }
    CommWaitStart StartCommWait(PortHandle port, std::uint32_t* eventWord, PortOverlapped& overlapped) override {
        ++calls;
        return m_real.StartCommWait(port, eventWord, overlapped);
    }
    int WaitForEvents(const EventHandle* handles, unsigned count) override {
        ++calls;
        return m_real.WaitForEvents(handles, count);
    }
    bool GetBytesWaiting(PortHandle port, std::uint32_t& waiting) override {
        ++calls;
        return m_real.GetBytesWaiting(port, waiting);
    }
    PortIo ReadPort(PortHandle port, std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& got) override {
        ++calls;
        PortIo result = m_real.ReadPort(port, buffer, capacity, got);
        ++reads;
        return result;
    }
    PortIo WritePort(PortHandle port, const std::uint8_t* data, std::uint32_t count, std::uint32_t& sent) override {
        return m_real.WritePort(port, data, count, sent);
    }
    void ClosePort(PortHandle port) override { m_real.ClosePort(port); }
    std::string LastErrorText() override { return m_real.LastErrorText(); }

    // Calls of the monitor's loop (comm wait, wait, status query, read) so far.
    std::atomic<int> calls{0};
    // Reads finished so far.
    std::atomic<int> reads{0};

private:
    // The platform's own back end.
    SerialBackend& m_real = PlatformSerialBackend();
};

// Installs a back end for the scope.
class ScopedBackend {
public:
    explicit ScopedBackend(SerialBackend& backend) { SetSerialBackendOverride(&backend); }
    ~ScopedBackend() { SetSerialBackendOverride(nullptr); }
    ScopedBackend(const ScopedBackend&) = delete;
    ScopedBackend& operator=(const ScopedBackend&) = delete;
};
