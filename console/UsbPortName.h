// Ports named by the USB adapter behind them, so that a name stays right when the
// adapter comes back as another ttyUSBn:
//
//   usb:SERIAL           the adapter with that serial number
//   usb:VID:PID          the adapter with that vendor and product id (4 hex digits each,
//                        either case)
//   usb:VID:PID:SERIAL   both
//   usb-path:1-1.4       the adapter in that place on the USB tree (bus 1, hub port 1,
//                        port 4): the same socket, whatever is plugged into it
//
// A serial number may hold colons: "usb:A:B" is a vendor and product id only when A and
// B are both 4 hex digits, and otherwise the serial number "A:B"; a serial number that
// looks like VID:PID is written in full, "usb:VID:PID:SERIAL". The serial number is
// compared exactly, the ids in either case.
#pragma once

#include "console/PortList.h"

#include <functional>
#include <string>
#include <vector>

// The name is one of the forms above (or a malformed one): "usb:..." or "usb-path:...".
bool IsUsbPortName(const std::string& name);

struct PortResolution {
    bool ok = false;
    std::string path;     // the device to open: under a root, root + "/dev/ttyUSB0"
    std::string error;    // why not, when !ok: one line naming the name and the candidates
    SerialPortInfo info;  // the port matched (its identity for a log record); for a path
                          // that is no listed port only info.path, the path itself
};

// The port that `name` names, among the ports under `root` (as ListSerialPorts). A USB
// name must match exactly one adapter whose device node exists; otherwise the error
// lists the adapters present with their names, or those that matched. Any other name
// is a path: ok, opened as given, with its identity when it is (or links to) a listed port.
// Windows: among the system's ports (`root` unused); any other name is opened as
// given, with its identity when it names a listed port ("com5", "\\.\COM5").
// Each platform's (console/posix, console/win32), over ResolvePortNameAmong.
PortResolution ResolvePortName(const std::string& name, const std::string& root);

// What a platform tells ResolvePortNameAmong about its ports.
struct PortLookup {
    // Whether a listed port can be opened now (sysfs may still show an adapter whose
    // node is gone); empty: every listed port can.
    std::function<bool(const SerialPortInfo& port)> present;
    // Whether a name that is no USB name is another name of the listed port (a link to
    // it); empty: only its own path is.
    std::function<bool(const std::string& name, const SerialPortInfo& port)> samePort;
    // What tells the ports of one multi-port adapter apart, for the error naming them.
    std::string portKind = "tty path";
};

// ResolvePortName over the list `ports`.
PortResolution ResolvePortNameAmong(const std::string& name, const std::vector<SerialPortInfo>& ports,
                                    const PortLookup& lookup);

// The names a user can paste for this port: "usb:VID:PID:SERIAL" ("usb:VID:PID" with no
// serial number) and "usb-path:1-1.4"; none for a port that is no USB adapter.
std::vector<std::string> UsbPortNames(const SerialPortInfo& port);

// One warning line for each serial number that two or more adapters share (the ttys of
// one multi-port adapter are one adapter), naming their ttys and their usb-path: names.
std::vector<std::string> DuplicateSerialWarnings(const std::vector<SerialPortInfo>& ports);
