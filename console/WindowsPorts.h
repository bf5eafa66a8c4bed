// The Windows ports as the console tools tell them, from what the system says of them:
// the listing made of SetupAPI's devices and the registry's SERIALCOMM map, the words
// for a port that cannot be opened, and --doctor's checks. Platform-free (the system's
// answers come in as data), so that it is tested on every platform; console/win32 asks
// the system.
#pragma once

#include "console/PortList.h"
#include "console/UsbPortName.h"
#include "console/WindowsDeviceIds.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// What SetupAPI tells of one device of the Ports class (or with a COM port interface).
struct WindowsPortDevice {
    std::string portName;                  // "COM5": its PortName in the registry
    std::string friendlyName;              // "USB Serial Port (COM5)"
    std::string description;               // "USB Serial Port"
    std::string manufacturer;              // "FTDI"
    std::string service;                   // "FTSER2K": its driver's service
    std::vector<WindowsDeviceNode> nodes;  // its device node, then the nodes above it
    int latencyTimerMs = -1;               // its LatencyTimer setting (FTDI); -1: none
};

// One value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: a port that a driver made, named by
// the driver's device ("\Device\Serial0", "\Device\VCP0") and its port ("COM1").
struct SerialCommEntry {
    std::string device;
    std::string port;
};

// The listing's entry of one device: path "COM5", its USB ids when it is an adapter.
SerialPortInfo WindowsPortInfo(const WindowsPortDevice& device);

// The ports: every device that has a COMn name, and every port of SERIALCOMM that no
// device has (virtual ports, and the ports Wine maps), sorted by COM number.
std::vector<SerialPortInfo> MergeWindowsPorts(const std::vector<WindowsPortDevice>& devices,
                                              const std::vector<SerialCommEntry>& serialComm);

// The errors of opening a port that the messages tell apart (winerror.h's numbers).
constexpr unsigned long WIN_ERROR_FILE_NOT_FOUND = 2;
constexpr unsigned long WIN_ERROR_PATH_NOT_FOUND = 3;
constexpr unsigned long WIN_ERROR_ACCESS_DENIED = 5;
constexpr unsigned long WIN_ERROR_SHARING_VIOLATION = 32;

// How opening a port went: the error and the system's text of it (FormatMessage).
struct WindowsOpenResult {
    bool opened = false;
    // Refused because another program is known to hold the port: the suite's programs
    // claim the ports they hold (platform/win32/Win32PortClaim.h).
    bool heldByAnother = false;
    unsigned long error = 0;
    std::string text;  // "Access is denied."
};

// Why a port cannot be opened, in Windows' words and with what to do where that is
// clear: "The system cannot find the file specified. (is the adapter plugged in? ...)".
// A port that another program holds is refused with ERROR_ACCESS_DENIED by Windows'
// serial drivers (ERROR_SHARING_VIOLATION where a driver leaves it to the sharing
// rules; Wine lets a second program open it: the suite's own claim tells it there).
std::string DescribeWindowsOpenError(const WindowsOpenResult& result);

// The lookup that ResolvePortNameAmong takes on Windows: "com5" and "\\.\COM5" are COM5.
PortLookup WindowsPortLookup();

// How to set the latency timer of `port` ("COM5") to 1 ms, in Device Manager.
std::string WindowsLatencyTimerFix(const std::string& port);

// Tries to open a device ("\\.\COM5") as the tools open it, and closes it again.
using WindowsPortProbe = std::function<WindowsOpenResult(const std::string& device)>;

// --doctor on Windows: checks `port` (COMn, usb:..., usb-path:..., or a device name;
// empty: every port listed, USB adapters first) among `ports`, opening it with `probe`,
// one line a check to `out`:
//   1. the port exists and can be opened: no other program holds it, none refuses it;
//   2. an FTDI adapter's latency timer is 1 or 2 ms.
// Returns 0 when every check passed, 1 when anything needs the user.
int RunWindowsDoctor(const std::string& port, const std::vector<SerialPortInfo>& ports, const WindowsPortProbe& probe,
                     std::FILE* out);
