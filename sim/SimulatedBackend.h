// Serial ports whose far end is a simulated device in this process: a SerialBackend
// that needs no pseudo-terminal and no system call, only the C++ library, so that it
// runs wherever the engine does.
//
// Each port is registered by name ("COMn", the name the engine opens) with the
// options of a device (SimOptions: loader, line rate, adapter hold, faults, what to
// expect) and is an independent device with its own loader model, line and report.
// The line is emulated as device-sim emulates it on a pseudo-terminal: a byte the tool
// writes reaches the loader after its wire time at the line's rate (10 bits a byte),
// the loader's replies leave one byte time apart once the byte that caused them has
// arrived, and become readable after their wire time and the adapter's hold (if the
// options have one). Loaders that speak first announce themselves from the tool's
// opening of the port (after SimOptions::quietFirstMs).
//
// Typical use, as in the console programs' --simulate:
//
//     sim::SimulatedBackend backend;
//     SetSerialBackendOverride(&backend);     // while no monitor thread runs
//     backend.AddDevice("COM3", options, error);
//     port.OpenPort(owner, 3, ...);            // the engine, as on any port
//     ...run the tool, close the port...
//     SimReport report = backend.Report("COM3");
//     SetSerialBackendOverride(nullptr);
//
// Only registered ports open: the back end serves no port of the system. The
// devices write no flash or log files (SimOptions::flashPath and logPath are not
// used), and the line rate is the options' (the rate the tool sets is kept but does
// not change the pacing). Every call is thread-safe.
#pragma once

#include "platform/SerialBackend.h"
#include "sim/SimDevice.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace sim {

class SimulatedBackend : public SerialBackend {
public:
    SimulatedBackend();
    ~SimulatedBackend() override;
    SimulatedBackend(const SimulatedBackend&) = delete;
    SimulatedBackend& operator=(const SimulatedBackend&) = delete;

    // Registers a new device as port `name` ("COMn", any case), in its start state.
    // It replaces a device of that name that is not open. False with `error` set when
    // the options make no valid loader or the port of that name is open.
    bool AddDevice(const std::string& name, const SimOptions& options, std::string& error);
    // Forgets the device of port `name` (its report with it); false if it is open.
    bool RemoveDevice(const std::string& name);
    // Waits up to `timeoutMs` (negative: for ever) until the run of the device of
    // port `name` has ended: complete with its last reply delivered, the port closed
    // by the tool, or the device vanished. False on timeout or for an unknown name.
    bool WaitFinished(const std::string& name, int timeoutMs);
    // What the device of port `name` has seen so far (as SimDevice::Report); a port
    // closed by the tool has its verdict. An unknown name gives an empty report.
    SimReport Report(const std::string& name) const;

    // SerialBackend.
    EventHandle NewEvent() override;
    void SignalEvent(EventHandle event) override;
    void ClearEvent(EventHandle event) override;
    void DeleteEvent(EventHandle event) override;
    PortHandle OpenPort(const char* name) override;
    bool SetTimeouts(PortHandle port, const CommTimeouts& timeouts) override;
    bool SetEventMask(PortHandle port, std::uint32_t mask) override;
    bool GetLineState(PortHandle port, LineState& state) override;
    bool BuildLineState(const char* settings, LineState& state) override;
    bool SetLineState(PortHandle port, const LineState& state) override;
    bool Purge(PortHandle port, std::uint32_t flags) override;
    CommWaitStart StartCommWait(PortHandle port, std::uint32_t* eventWord, PortOverlapped& overlapped) override;
    int WaitForEvents(const EventHandle* handles, unsigned count, unsigned timeoutMs) override;
    bool GetBytesWaiting(PortHandle port, std::uint32_t& waiting) override;
    PortIo ReadPort(PortHandle port, std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& got) override;
    PortIo WritePort(PortHandle port, const std::uint8_t* data, std::uint32_t count, std::uint32_t& sent,
                     EventHandle abortEvent) override;
    void ClosePort(PortHandle port) override;
    PortFailure LastFailureKind(PortHandle port) override;
    std::uint32_t LastErrorCode() override;
    std::string LastErrorText() override;

    struct Device;
    struct Event;

private:
    // Guards every device and event; m_changed is notified whenever an event is set
    // or a device's state changes.
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::map<std::string, std::shared_ptr<Device>> m_devices;
};

}  // namespace sim
