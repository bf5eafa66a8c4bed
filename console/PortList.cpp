#include "console/PortList.h"

#include "console/CommandLine.h"
#include "console/Reporter.h"
#include "console/UsbPortName.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string FormatPortLine(const SerialPortInfo& port)
{
    std::string line = port.path;
    if (port.usb) {
        line += "  USB";
        if (!port.vendorId.empty())
            line += " " + port.vendorId + ":" + port.productId;
        std::string name = port.manufacturer;
        if (!port.product.empty())
            name += (name.empty() ? "" : " ") + port.product;
        if (!name.empty())
            line += "  " + name;
        if (!port.serial.empty())
            line += "  serial " + port.serial;
        if (!port.usbPath.empty())
            line += "  at " + port.usbPath;
        if (!port.driver.empty())
            line += "  driver " + port.driver;
        if (port.latencyTimerMs >= 0)
            line += "  latency " + std::to_string(port.latencyTimerMs) + " ms";
        if (LowLatencyShortensHold(port) && port.latencyTimerMs > 1)
            line += " (1 ms while a tool has it open: low latency)";
        const std::vector<std::string> names = UsbPortNames(port);
        if (!names.empty()) {
            line += "  names";
            for (const std::string& name : names)
                line += " " + name;
        }
    } else {
        // A port of the machine itself: what the system calls it, where it says.
        if (!port.product.empty())
            line += "  " + port.product;
        if (!port.driver.empty())
            line += "  (" + port.driver + ")";
    }
    if (port.systemConsole)
        line += "  (system console: not a device line)";
    return line;
}

std::string FormatPortJson(const SerialPortInfo& port)
{
    std::string json = "{\"path\":" + JsonString(port.path) + ",\"driver\":" + JsonString(port.driver) +
                       ",\"usb\":" + (port.usb ? "true" : "false");
    if (port.usb)
        json += ",\"vendor_id\":" + JsonString(port.vendorId) + ",\"product_id\":" + JsonString(port.productId) +
                ",\"manufacturer\":" + JsonString(port.manufacturer) + ",\"product\":" + JsonString(port.product) +
                ",\"serial\":" + JsonString(port.serial) + ",\"usb_path\":" + JsonString(port.usbPath);
    json += ",\"names\":[";
    const std::vector<std::string> names = UsbPortNames(port);
    for (std::size_t i = 0; i < names.size(); ++i)
        json += (i ? "," : "") + JsonString(names[i]);
    json += std::string("],\"system_console\":") + (port.systemConsole ? "true" : "false");
    json += ",\"latency_timer_ms\":" + (port.latencyTimerMs >= 0 ? std::to_string(port.latencyTimerMs) : "null");
    json += std::string(",\"low_latency_shortens_hold\":") + (LowLatencyShortensHold(port) ? "true" : "false");
    return json + "}";
}

bool LowLatencyShortensHold(const SerialPortInfo& port)
{
    return port.driver == "ftdi_sio";
}

std::string LatencyTimerWarning(const std::string& program, const std::string& device, const std::string& name, int ms,
                                long replies)
{
    std::string cost;
    if (replies > 0) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.0f", static_cast<double>(replies) * ms / 1000.0);
        cost = ": up to " + std::string(seconds) + " s more for this run's " + std::to_string(replies) + " replies";
    }
    return program + ": warning: the adapter of " + device + " holds every reply for its latency timer, " +
           std::to_string(ms) + " ms" + cost + ". For good: " + LatencyTimerFix(name);
}

int PrintPortList(bool json)
{
    const char* root = std::getenv("SUITE_SYSTEM_ROOT");
    const std::vector<SerialPortInfo> ports = ListSerialPorts(root ? root : "");
    for (const SerialPortInfo& port : ports)
        std::printf("%s\n", (json ? FormatPortJson(port) : FormatPortLine(port)).c_str());
    if (ports.empty() && !json)
        std::fprintf(stderr, "no serial ports found\n");
    for (const std::string& warning : DuplicateSerialWarnings(ports))
        std::fprintf(stderr, "%s\n", warning.c_str());
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "cannot write to standard output: %s\n", std::strerror(errno));
        return EXIT_STATUS_FAILURE;
    }
    return EXIT_STATUS_SUCCESS;
}
