// --list-ports on Linux (sysfs) and macOS (/dev/cu.*).
#include "console/PortList.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// The first line of a small sysfs file, without its line end; empty if unreadable.
std::string ReadLine(const fs::path& path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// Natural order: ttyS2 before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])))
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])))
                ++ej;
            const std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            if (na.size() != nb.size())
                return na.size() < nb.size();
            if (na != nb)
                return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// The names in sys/class/tty/console/active ("tty0 ttyS0"): where the kernel writes its
// console. A virtual terminal (tty0, tty1..) is no serial port and has no device, so
// only the serial names among them ever meet a listed port.
std::set<std::string> ConsoleNames(const fs::path& classDir)
{
    std::istringstream words(ReadLine(classDir / "console" / "active"));
    std::set<std::string> names;
    for (std::string word; words >> word;)
        names.insert(word);
    return names;
}

// The USB interface number of an interface directory: its bInterfaceNumber (hex), or
// the number after the dot in its name ("1-1.4:1.0"); -1 if neither reads.
int InterfaceNumber(const fs::path& interfaceDir)
{
    std::string text = ReadLine(interfaceDir / "bInterfaceNumber");
    int base = 16;
    if (text.empty()) {
        const std::string name = interfaceDir.filename().string();
        const std::size_t colon = name.find(':'), dot = name.rfind('.');
        if (colon == std::string::npos || dot == std::string::npos || dot < colon)
            return -1;
        text = name.substr(dot + 1);
        base = 10;
    }
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, base);
    return text.empty() || *end != '\0' || number < 0 || number > 255 ? -1 : static_cast<int>(number);
}

void ListFromSysfs(const fs::path& root, const fs::path& classDir, std::vector<SerialPortInfo>& ports)
{
    std::error_code ec;
    const std::set<std::string> consoles = ConsoleNames(classDir);
    for (const fs::directory_entry& entry : fs::directory_iterator(classDir, ec)) {
        const std::string name = entry.path().filename().string();
        const fs::path device = entry.path() / "device";
        if (!fs::exists(device, ec))
            continue;  // virtual terminals and pseudo-terminals have no device behind them
        SerialPortInfo port;
        port.path = (root / "dev" / name).string();
        port.systemConsole = consoles.count(name) != 0;
        if (fs::is_symlink(device / "driver", ec))
            port.driver = fs::read_symlink(device / "driver", ec).filename().string();
        port.latencyTimerMs = LatencyTimerMs(root.string(), name);
        // The kernel makes ttyS0.. for every possible 8250 port; type 0 means no UART.
        if (name.rfind("ttyS", 0) == 0 && ReadLine(entry.path() / "type") == "0")
            continue;
        // A USB adapter: the USB device is a parent of the tty's device, its directory
        // named by its place on the USB tree ("1-1.4"); the directory below it is the
        // USB interface that the tty belongs to ("1-1.4:1.0").
        const fs::path real = fs::canonical(device, ec);
        if (!ec) {
            fs::path below;
            for (fs::path dir = real; dir.has_relative_path() && dir != root; below = dir, dir = dir.parent_path()) {
                if (fs::exists(dir / "idVendor", ec)) {
                    port.usb = true;
                    port.vendorId = ReadLine(dir / "idVendor");
                    port.productId = ReadLine(dir / "idProduct");
                    port.manufacturer = ReadLine(dir / "manufacturer");
                    port.product = ReadLine(dir / "product");
                    port.serial = ReadLine(dir / "serial");
                    port.usbPath = dir.filename().string();
                    if (!below.empty())
                        port.interfaceNumber = InterfaceNumber(below);
                    break;
                }
                if (dir == dir.parent_path())
                    break;
            }
        }
        ports.push_back(port);
    }
}

void ListFromDev(const fs::path& devDir, std::vector<SerialPortInfo>& ports)
{
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(devDir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("cu.", 0) != 0)
            continue;
        SerialPortInfo port;
        port.path = entry.path().string();
        port.usb = name.find("usb") != std::string::npos;
        ports.push_back(port);
    }
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const std::string& rootText)
{
    std::error_code ec;
    const fs::path root = rootText.empty() ? fs::path("/") : fs::weakly_canonical(fs::path(rootText), ec);
    std::vector<SerialPortInfo> ports;
    const fs::path classDir = root / "sys" / "class" / "tty";
    if (fs::is_directory(classDir, ec))
        ListFromSysfs(root, classDir, ports);
    else
        ListFromDev(root / "dev", ports);
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return NaturalLess(a.path, b.path); });
    return ports;
}

int LatencyTimerMs(const std::string& root, const std::string& name)
{
    const fs::path base = root.empty() ? fs::path("/") : fs::path(root);
    const std::string text = ReadLine(base / "sys/class/tty" / name / "device" / "latency_timer");
    if (text.empty())
        return -1;
    char* end = nullptr;
    const long ms = std::strtol(text.c_str(), &end, 10);
    return *end != '\0' || ms < 0 || ms > 255 ? -1 : static_cast<int>(ms);
}

std::string LatencyTimerFix(const std::string& name)
{
    return "install packaging/udev/60-serial-service-suite.rules (README, Adapters), or as root: echo 1 > "
           "/sys/bus/usb-serial/devices/" +
           name + "/latency_timer";
}
