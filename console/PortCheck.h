// Port names and port failures in the platform's words, for the console tools'
// messages, and --doctor. One header, an implementation per system (PortCheck.cpp
// and Doctor.cpp on POSIX, win32/ on Windows).
#pragma once

#include <string>

// The device a port name opens, as the serial engine resolves it.
struct PortTarget {
    std::string device;  // the device path: "/dev/ttyUSB0"
    // How a COMn name came to this device, for messages: "/dev/ttyUSB0, from
    // $SUITE_COM3" or "/dev/ttyS2, the default for COM3; set SUITE_COM3 to choose
    // another device"; empty for a path.
    std::string origin;
};
PortTarget ResolvePortName(const std::string& name);

// Why `device` cannot be opened as a serial port, found by trying it: the system's
// words, and what to do about it where that is clear ("Permission denied (...)",
// "not a serial port", "in use by another program").
std::string DescribeOpenFailure(const std::string& device);

// The one line that tells a failed opening: "quarrow: /dev/ttyUSB0: not a serial port".
std::string PortFailureMessage(const std::string& program, const std::string& name);

// --doctor as the programs run it, for `port` (empty: every serial port present): one
// line a check on standard output. Returns the exit status: 0 when every check passed.
int PrintDoctor(const std::string& port);
