// Port names and port failures in the platform's words, for the console tools'
// messages, and --doctor. One header, an implementation per system: console/posix
// (errno, termios, flock; the Linux checks of Doctor.h), console/win32 (the error of
// opening \\.\COMn in FormatMessage's words; the checks of WindowsPorts.h).
#pragma once

#include <string>

// The device a port name opens, as the serial engine resolves it.
struct PortTarget {
    std::string device;  // the device path: "/dev/ttyUSB0"
    // How a COMn name came to this device, for messages: "/dev/ttyUSB0, from
    // $SUITE_COM3" or "/dev/ttyS2, the default for COM3; set SUITE_COM3 to choose
    // another device"; empty for a path. Windows: "\\.\COM3" for COM3, no origin.
    std::string origin;
};
PortTarget ResolvePortName(const std::string& name);

// Why `device` cannot be opened as a serial port, found by trying it: the system's
// words, and what to do about it where that is clear ("Permission denied (...)",
// "not a serial port", "in use by another program"; on Windows FormatMessage's text of
// the error, "Access is denied. (...)").
std::string DescribeOpenFailure(const std::string& device);

// The one line that tells a failed opening: "quarrow: /dev/ttyUSB0: not a serial port",
// "quarrow: COM5: The system cannot find the file specified. (is the adapter ...)".
std::string PortFailureMessage(const std::string& program, const std::string& name);

// --doctor as the programs run it, for `port` (empty: every serial port present): one
// line a check on standard output. Returns the exit status: 0 when every check passed.
int PrintDoctor(const std::string& port);
