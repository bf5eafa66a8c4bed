// --list-ports: the serial ports present. On Linux from sysfs (/sys/class/tty: every
// tty with a device behind it; 8250 ports only when a UART answered), with the vendor,
// product, serial number and place on the USB tree of USB adapters, and which port is
// the kernel's console; on macOS the /dev/cu.* devices; on Windows the COMn ports of
// SetupAPI's Ports class and of the registry's SERIALCOMM map (console/win32).
// Formatting and the warnings are common code (PortList.cpp); listing the ports and
// reading a latency timer are each platform's (console/posix, console/win32).
#pragma once

#include <string>
#include <vector>

struct SerialPortInfo {
    std::string path;            // "/dev/ttyUSB0"; Windows: "COM5"
    std::string driver;          // "ftdi_sio", "serial8250", ""; Windows: the service, "FTSER2K"
    bool usb = false;            // a USB adapter: the fields below are set (or empty)
    std::string vendorId;        // "0403"
    std::string productId;       // "6001"
    std::string manufacturer;    // "FTDI"
    std::string product;         // "FT232R USB UART"; Windows: the device's name, "USB Serial Port"
    std::string serial;          // "A50285BI"
    std::string usbPath;         // "1-1.4": the USB device's sysfs name, bus and hub ports;
                                 // Windows: its location, "Port_#0004.Hub_#0001"
    int interfaceNumber = -1;    // the USB interface behind the tty (multi-port adapters); -1 unknown
    bool systemConsole = false;  // the kernel writes its console here: no device line
    int latencyTimerMs = -1;     // an FTDI adapter's latency timer (ms); -1: it has none
};

// Whether asking for low latency when the port is opened shortens the adapter's hold
// of replies: an FTDI adapter's driver then sets its latency timer to 1 ms. Told from
// the driver, without opening the port (an open raises DTR and RTS, which resets some
// boards).
bool LowLatencyShortensHold(const SerialPortInfo& port);

// The latency timer of tty `name` ("ttyUSB0") under `root`, in ms: how long the adapter
// holds received bytes before passing them on (FTDI); -1 when it has none. Windows:
// `name` is the port ("COM5"), read from its device's registry settings; `root` unused.
int LatencyTimerMs(const std::string& root, const std::string& name);

// How to set the latency timer of adapter `name` (as LatencyTimerMs takes it) to 1 ms
// for good, in the platform's terms: the udev rule or sysfs; Device Manager on Windows.
std::string LatencyTimerFix(const std::string& name);

// Above this, the latency timer costs a run noticeably (every reply waits for it).
constexpr int LATENCY_TIMER_WARN_MS = 2;

// The warning for an adapter whose latency timer is `ms` (above the limit), for a run
// of `replies` replies, with the fix for good: "... 16 ms ... 262 s more ...".
std::string LatencyTimerWarning(const std::string& program, const std::string& device, const std::string& name, int ms,
                                long replies);

// The ports under `root` ("" for the system itself; a folder holding sys/ and dev/
// for tests), sorted by path. Windows: the system's, by COM number; `root` unused.
std::vector<SerialPortInfo> ListSerialPorts(const std::string& root);

// One line a port: "/dev/ttyUSB0  USB 0403:6001  FTDI FT232R USB UART  serial A50285BI
// at 1-1.4  names usb:0403:6001:A50285BI usb-path:1-1.4"; a console port says so.
std::string FormatPortLine(const SerialPortInfo& port);
// One JSON object a port.
std::string FormatPortJson(const SerialPortInfo& port);

// --list-ports for the ports under SUITE_SYSTEM_ROOT (unset: the system itself): one
// line (or JSON object) a port on standard output, warnings about adapters that share
// a serial number on standard error. Returns the exit status: 1 if standard output
// could not be written.
int PrintPortList(bool json);
