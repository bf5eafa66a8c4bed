#include "console/UsbPortName.h"

#include <cctype>
#include <map>
#include <set>

namespace {

const std::string USB_PREFIX = "usb:";
const std::string USB_PATH_PREFIX = "usb-path:";
const std::string USB_NAME_FORMS = "usb:SERIAL, usb:VID:PID, usb:VID:PID:SERIAL or usb-path:1-1.4";

// What a USB name asks for; an empty field asks nothing.
struct UsbNameParts {
    std::string vendorId;
    std::string productId;
    std::string serial;
    std::string usbPath;
};

bool IsHex4(const std::string& text)
{
    if (text.size() != 4)
        return false;
    for (const char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool SameIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Splits a USB name into what it asks for; false if it asks for nothing.
bool ParseUsbName(const std::string& name, UsbNameParts& parts)
{
    if (name.rfind(USB_PATH_PREFIX, 0) == 0) {
        parts.usbPath = name.substr(USB_PATH_PREFIX.size());
        return !parts.usbPath.empty();
    }
    const std::string rest = name.substr(USB_PREFIX.size());
    const std::size_t first = rest.find(':');
    if (first != std::string::npos) {
        const std::size_t second = rest.find(':', first + 1);
        const std::string vendorId = rest.substr(0, first);
        const std::string productId =
            rest.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
        if (IsHex4(vendorId) && IsHex4(productId)) {
            parts.vendorId = vendorId;
            parts.productId = productId;
            if (second == std::string::npos)
                return true;
            parts.serial = rest.substr(second + 1);
            return !parts.serial.empty();  // "usb:0403:6001:" names no serial number
        }
    }
    parts.serial = rest;  // no ids in front: the whole rest, colons and all
    return !parts.serial.empty();
}

bool Matches(const SerialPortInfo& port, const UsbNameParts& parts)
{
    return port.usb && (parts.vendorId.empty() || SameIgnoringCase(parts.vendorId, port.vendorId)) &&
           (parts.productId.empty() || SameIgnoringCase(parts.productId, port.productId)) &&
           (parts.serial.empty() || parts.serial == port.serial) &&
           (parts.usbPath.empty() || SameIgnoringCase(parts.usbPath, port.usbPath));
}

// "/dev/ttyUSB0 (usb:0403:6001:A50285BI, usb-path:1-1.2)".
std::string Candidate(const SerialPortInfo& port)
{
    std::string text = port.path;
    const std::vector<std::string> names = UsbPortNames(port);
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i ? ", " : " (") + names[i];
    return names.empty() ? text : text + ")";
}

}  // namespace

bool IsUsbPortName(const std::string& name)
{
    return name.rfind(USB_PREFIX, 0) == 0 || name.rfind(USB_PATH_PREFIX, 0) == 0;
}

std::vector<std::string> UsbPortNames(const SerialPortInfo& port)
{
    std::vector<std::string> names;
    if (!port.usb)
        return names;
    if (!port.vendorId.empty() && !port.productId.empty())
        names.push_back(USB_PREFIX + port.vendorId + ":" + port.productId +
                        (port.serial.empty() ? "" : ":" + port.serial));
    if (!port.usbPath.empty())
        names.push_back(USB_PATH_PREFIX + port.usbPath);
    return names;
}

PortResolution ResolvePortNameAmong(const std::string& name, const std::vector<SerialPortInfo>& ports,
                                    const PortLookup& lookup)
{
    PortResolution resolution;
    if (!IsUsbPortName(name)) {
        resolution.ok = true;
        resolution.path = name;
        resolution.info.path = name;
        for (const SerialPortInfo& port : ports) {
            if (port.path == name || (lookup.samePort && lookup.samePort(name, port))) {
                resolution.info = port;
                break;
            }
        }
        return resolution;
    }

    UsbNameParts parts;
    if (!ParseUsbName(name, parts)) {
        resolution.error = name + " names no adapter: write " + USB_NAME_FORMS;
        return resolution;
    }
    std::vector<SerialPortInfo> present, matched;
    for (const SerialPortInfo& port : ports) {
        if (!port.usb || (lookup.present && !lookup.present(port)))
            continue;
        present.push_back(port);
        if (Matches(port, parts))
            matched.push_back(port);
    }

    if (matched.size() == 1) {
        resolution.ok = true;
        resolution.path = matched[0].path;
        resolution.info = matched[0];
        return resolution;
    }
    if (matched.empty()) {
        resolution.error = "no USB serial adapter matches " + name;
        if (present.empty()) {
            resolution.error += ": no USB serial adapters present";
        } else {
            resolution.error += "; present:";
            for (std::size_t i = 0; i < present.size(); ++i)
                resolution.error += (i ? "; " : " ") + Candidate(present[i]);
        }
        return resolution;
    }
    // Several: their usb-path: names tell them apart, unless they are the ports of one
    // multi-port adapter (one place on the tree), which only their tty paths tell apart.
    std::set<std::string> places;
    for (const SerialPortInfo& port : matched)
        if (!port.usbPath.empty())
            places.insert(port.usbPath);
    const bool byPlace = places.size() == matched.size();
    resolution.error = name + " matches " + std::to_string(matched.size()) + " USB serial adapters:";
    for (std::size_t i = 0; i < matched.size(); ++i) {
        const SerialPortInfo& port = matched[i];
        resolution.error += (i ? ", " : " ") + port.path;
        if (!port.usbPath.empty()) {
            resolution.error += " (" + USB_PATH_PREFIX + port.usbPath;
            if (!byPlace && port.interfaceNumber >= 0)
                resolution.error += ", interface " + std::to_string(port.interfaceNumber);
            resolution.error += ")";
        }
    }
    resolution.error += byPlace ? "; name one by its usb-path: name" : "; name one by its " + lookup.portKind;
    return resolution;
}

std::vector<std::string> DuplicateSerialWarnings(const std::vector<SerialPortInfo>& ports)
{
    // The ports of each serial number, in the order listed, and the adapters among them:
    // an adapter is its place on the tree (a multi-port adapter's ttys share one), or
    // its tty where the place is unknown.
    std::map<std::string, std::vector<const SerialPortInfo*>> bySerial;
    std::map<std::string, std::set<std::string>> adapters;
    std::vector<std::string> order;
    for (const SerialPortInfo& port : ports) {
        if (!port.usb || port.serial.empty())
            continue;
        if (bySerial.find(port.serial) == bySerial.end())
            order.push_back(port.serial);
        bySerial[port.serial].push_back(&port);
        adapters[port.serial].insert(port.usbPath.empty() ? port.path : port.usbPath);
    }
    std::vector<std::string> warnings;
    for (const std::string& serial : order) {
        if (adapters[serial].size() < 2)
            continue;
        std::string line = "warning: " + std::to_string(adapters[serial].size()) +
                           " USB serial adapters share the serial number " + serial + ":";
        const std::vector<const SerialPortInfo*>& sharing = bySerial[serial];
        for (std::size_t i = 0; i < sharing.size(); ++i) {
            line += (i ? ", " : " ") + sharing[i]->path;
            if (!sharing[i]->usbPath.empty())
                line += " (" + USB_PATH_PREFIX + sharing[i]->usbPath + ")";
        }
        line += "; a usb: name with this serial number picks none of them: use their usb-path: names instead";
        warnings.push_back(line);
    }
    return warnings;
}
