#include "console/WindowsPorts.h"

#include "console/Doctor.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace {

const std::string LIST_PORTS_HINT = "--list-ports lists the serial ports present";
const std::string CLOSE_HOLDER =
    "; fix: close the program that has it open (a terminal, another tool, the board maker's own software), then try "
    "again";

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// By COM number; names that are no COMn after them, by name.
bool ComPortLess(const SerialPortInfo& a, const SerialPortInfo& b)
{
    const unsigned na = ComPortNumber(a.path), nb = ComPortNumber(b.path);
    if ((na == 0) != (nb == 0))
        return na != 0;
    if (na != nb)
        return na < nb;
    return a.path < b.path;
}

// "USB Serial Port (COM5)" -> "USB Serial Port": the port is named on its own already.
std::string WithoutPortName(const std::string& friendlyName, const std::string& port)
{
    const std::string suffix = " (" + Upper(port) + ")";
    const std::string upper = Upper(friendlyName);
    if (upper.size() > suffix.size() && upper.compare(upper.size() - suffix.size(), suffix.size(), suffix) == 0)
        return friendlyName.substr(0, friendlyName.size() - suffix.size());
    return friendlyName;
}

// The device name that opens a port: "\\.\COM5" for COM5, any other name as given.
std::string DeviceOf(const std::string& name)
{
    const unsigned number = ComPortNumber(name);
    return number ? "\\\\.\\COM" + std::to_string(number) : name;
}

class WindowsDoctor {
public:
    WindowsDoctor(const std::vector<SerialPortInfo>& ports, const WindowsPortProbe& probe, std::FILE* out)
        : m_ports(ports),
          m_probe(probe),
          m_out(out)
    {
    }

    void Line(const std::string& text) { std::fprintf(m_out, "%s\n", text.c_str()); }

    // The checks of one port, `name` as the user gave it; false if anything needs the user.
    bool Check(const std::string& name)
    {
        const PortResolution resolution = ResolvePortNameAmong(name, m_ports, WindowsPortLookup());
        if (!resolution.ok) {
            Line("problem: " + resolution.error);
            return false;
        }
        if (IsUsbPortName(name))
            Line(name + " is " + resolution.path);
        const bool known = std::any_of(m_ports.begin(), m_ports.end(),
                                       [&](const SerialPortInfo& info) { return info.path == resolution.info.path; });
        const std::string path = known ? resolution.info.path : resolution.path;
        Line("port: " + (known ? FormatPortLine(resolution.info) : path + "  (not among the serial ports listed)"));

        bool missing = false;
        const bool opened = CheckOpen(path, missing);
        if (missing)
            return false;  // nothing more to find out about a port that is not there
        return CheckLatencyTimer(path, resolution.info) && opened;
    }

private:
    // Whether `path` opens; `missing` when it is not there at all.
    bool CheckOpen(const std::string& path, bool& missing)
    {
        const WindowsOpenResult result = m_probe(DeviceOf(path));
        if (result.opened) {
            Line("ok: " + path + " can be opened: no other program has it open");
            return true;
        }
        missing = result.error == WIN_ERROR_FILE_NOT_FOUND || result.error == WIN_ERROR_PATH_NOT_FOUND;
        const std::string text = result.text.empty() ? "error " + std::to_string(result.error) : result.text;
        if (result.heldByAnother) {
            Line("problem: " + path + " is in use by another program (" + text + ")" + CLOSE_HOLDER);
            return false;
        }
        switch (result.error) {
        case WIN_ERROR_FILE_NOT_FOUND:
        case WIN_ERROR_PATH_NOT_FOUND:
            Line("problem: " + path + ": " + text +
                 " (no such port); fix: plug the adapter in, or name a port that is present (--list-ports lists them)");
            break;
        case WIN_ERROR_SHARING_VIOLATION:
            Line("problem: " + path + " is in use by another program (" + text + ")" + CLOSE_HOLDER);
            break;
        case WIN_ERROR_ACCESS_DENIED:
            // What Windows' serial drivers answer for a port another program holds.
            Line("problem: " + path + " cannot be opened: " + text +
                 " (another program has it open, or this user may not open it)" + CLOSE_HOLDER);
            break;
        default:
            Line("problem: " + path + " cannot be opened: " + text +
                 "; fix: unplug the adapter and plug it in again; Device Manager (Ports (COM & LPT)) shows whether "
                 "its driver works");
            break;
        }
        return false;
    }

    bool CheckLatencyTimer(const std::string& path, const SerialPortInfo& info)
    {
        if (info.latencyTimerMs < 0) {
            Line("ok: no latency timer (not an FTDI adapter)");
            return true;
        }
        Line(DoctorLatencyLine(path, info.latencyTimerMs, WindowsLatencyTimerFix(path)));
        return info.latencyTimerMs <= LATENCY_TIMER_WARN_MS;
    }

    const std::vector<SerialPortInfo>& m_ports;
    const WindowsPortProbe& m_probe;
    std::FILE* m_out;
};

}  // namespace

SerialPortInfo WindowsPortInfo(const WindowsPortDevice& device)
{
    SerialPortInfo port;
    port.path = device.portName;
    port.driver = device.service;
    port.manufacturer = device.manufacturer;
    port.product =
        WithoutPortName(device.friendlyName.empty() ? device.description : device.friendlyName, device.portName);
    port.latencyTimerMs = device.latencyTimerMs >= 0 && device.latencyTimerMs <= 255 ? device.latencyTimerMs : -1;
    const WindowsUsbIds ids = ParseUsbIds(device.nodes);
    port.usb = ids.usb;
    port.vendorId = ids.vendorId;
    port.productId = ids.productId;
    port.serial = ids.serial;
    port.usbPath = ids.location;
    port.interfaceNumber = ids.interfaceNumber;
    return port;
}

std::vector<SerialPortInfo> MergeWindowsPorts(const std::vector<WindowsPortDevice>& devices,
                                              const std::vector<SerialCommEntry>& serialComm)
{
    std::vector<SerialPortInfo> ports;
    std::set<unsigned> listed;
    for (const WindowsPortDevice& device : devices) {
        const unsigned number = ComPortNumber(device.portName);
        // The Ports class holds printer ports too (LPT1); a device is listed once.
        if (number == 0 || !listed.insert(number).second)
            continue;
        ports.push_back(WindowsPortInfo(device));
        ports.back().path = "COM" + std::to_string(number);
    }
    for (const SerialCommEntry& entry : serialComm) {
        const unsigned number = ComPortNumber(entry.port);
        if (number == 0 || !listed.insert(number).second)
            continue;
        SerialPortInfo port;
        port.path = "COM" + std::to_string(number);
        port.product = entry.device;  // all that is known of it: the driver's device
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(), ComPortLess);
    return ports;
}

std::string DescribeWindowsOpenError(const WindowsOpenResult& result)
{
    std::string text = result.text.empty() ? "error " + std::to_string(result.error) : result.text;
    if (result.heldByAnother)
        return text + " (in use by another program)";
    switch (result.error) {
    case WIN_ERROR_FILE_NOT_FOUND:
    case WIN_ERROR_PATH_NOT_FOUND:
        text += " (is the adapter plugged in? " + LIST_PORTS_HINT + ")";
        break;
    case WIN_ERROR_SHARING_VIOLATION:
        text += " (in use by another program)";
        break;
    case WIN_ERROR_ACCESS_DENIED:
        text += " (in use by another program, or this user may not open it)";
        break;
    default:
        break;
    }
    return text;
}

PortLookup WindowsPortLookup()
{
    PortLookup lookup;
    lookup.samePort = [](const std::string& name, const SerialPortInfo& port) {
        const unsigned number = ComPortNumber(name);
        return number != 0 && number == ComPortNumber(port.path);
    };
    lookup.portKind = "COM name";
    return lookup;
}

std::string WindowsLatencyTimerFix(const std::string& port)
{
    return "in Device Manager, Ports (COM & LPT) > the adapter's port (" + port +
           ") > Properties > Port Settings > Advanced > Latency Timer (msec): set 1, then OK";
}

int RunWindowsDoctor(const std::string& port, const std::vector<SerialPortInfo>& ports, const WindowsPortProbe& probe,
                     std::FILE* out)
{
    WindowsDoctor doctor(ports, probe, out);
    bool ok = true;
    if (!port.empty()) {
        ok = doctor.Check(port);
    } else if (ports.empty()) {
        doctor.Line("problem: no serial ports found; fix: plug the adapter in (Device Manager shows what Windows made "
                    "of it: Ports (COM & LPT), or Other devices when it has no driver)");
        ok = false;
    } else {
        std::vector<SerialPortInfo> order = ports;
        std::stable_partition(order.begin(), order.end(), [](const SerialPortInfo& info) { return info.usb; });
        for (const SerialPortInfo& info : order)
            ok = doctor.Check(info.path) && ok;
    }
    std::fflush(out);
    return ok ? 0 : 1;
}
