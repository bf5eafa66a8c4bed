// usb: and usb-path: names on POSIX: among the ports under a root, a port whose device
// node exists; a path that links to a listed port is that port.
#include "console/UsbPortName.h"

#include <filesystem>

namespace fs = std::filesystem;

PortResolution ResolvePortName(const std::string& name, const std::string& root)
{
    std::error_code ec;
    // A link such as /dev/serial/by-id/... is the listed port it leads to.
    const fs::path wanted = fs::weakly_canonical(fs::path(name), ec);
    const bool wantedOk = !ec;
    PortLookup lookup;
    lookup.present = [](const SerialPortInfo& port) {
        std::error_code existsEc;
        return fs::exists(fs::path(port.path), existsEc);
    };
    lookup.samePort = [&](const std::string&, const SerialPortInfo& port) {
        std::error_code portEc;
        return wantedOk && fs::weakly_canonical(fs::path(port.path), portEc) == wanted;
    };
    return ResolvePortNameAmong(name, ListSerialPorts(root), lookup);
}
