// Low latency on the serial driver. On Linux a serial driver may hold received bytes
// back for a few milliseconds to hand them over in larger batches; a tool that waits
// for a short reply before it sends the next frame loses that time on every frame. So
// the POSIX back end asks the driver for low latency (ASYNC_LOW_LATENCY) when it opens
// a port, and puts the driver's flag back as it was when it closes the port. A port
// whose driver has no such setting (a pseudo-terminal) or refuses it (a built-in UART)
// is used as it is: that is never an error. macOS and Windows have no such setting.
//
// The request is a process-wide setting, on by default; the console programs turn it
// off with --no-low-latency. The setting and the record of what each open did are
// common code (LowLatency.cpp); QueryLowLatency is each back end's. Thread-safe.
#pragma once

#include <optional>
#include <string>

// What became, or would become, of the low-latency request for a port.
enum class LowLatencyState {
    Set,            // the port runs with low latency (set on open, or on already)
    Available,      // QueryLowLatency: the driver has the setting, an open would set it
    Refused,        // the driver has the setting but refused to change it
    Unsupported,    // the port has no such setting (a pseudo-terminal, not a serial driver)
    Off,            // not asked for: SetLowLatencyRequest(false)
    NotApplicable,  // the system has no such setting (macOS, Windows)
    Unknown,        // QueryLowLatency: the device could not be opened to ask it
};

// Whether ports opened from now on are asked for low latency (the default: yes).
void SetLowLatencyRequest(bool request);
// The current setting.
bool LowLatencyRequested();

// The back end records here what the request did when it opened `device` (the device
// path it opened, as SetPortDevice or a command line gave it).
void RecordLowLatency(const std::string& device, LowLatencyState state);
// What the request did at the last open of `device` in this process, if it was opened.
std::optional<LowLatencyState> LowLatencyAtOpen(const std::string& device);

// Asks the driver of `device` (a device path) whether the request would take effect,
// without changing anything: Off when the request is turned off (the device is not
// touched), otherwise Set, Available, Unsupported or Unknown (not openable now, held
// by another program). Opening a serial port may raise its DTR and RTS lines, as any
// open does. Windows and macOS: NotApplicable.
LowLatencyState QueryLowLatency(const std::string& device);

// A short word for `state` ("set", "available", "refused", "unsupported", "off",
// "not applicable", "unknown"), for listings and traces.
const char* LowLatencyStateName(LowLatencyState state);
