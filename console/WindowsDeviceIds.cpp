#include "console/WindowsDeviceIds.h"

#include <cctype>
#include <cstdlib>

namespace {

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsSeparator(char c)
{
    return c == '\\' || c == '&' || c == '+';
}

bool AllHex(const std::string& text)
{
    for (const char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return !text.empty();
}

// The 4 hex digits after `key` ("VID_") where it starts a field of `id`; empty if none.
std::string Field4(const std::string& id, const std::string& key)
{
    const std::string upper = Upper(id);
    for (std::size_t at = upper.find(key); at != std::string::npos; at = upper.find(key, at + 1)) {
        if (at != 0 && !IsSeparator(upper[at - 1]))
            continue;
        const std::size_t start = at + key.size();
        if (start + 4 > upper.size() || (start + 4 < upper.size() && !IsSeparator(upper[start + 4])))
            continue;
        const std::string digits = id.substr(start, 4);
        if (AllHex(digits))
            return Lower(digits);
    }
    return "";
}

// The '\'-separated parts of an id.
std::vector<std::string> Parts(const std::string& id)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = id.find('\\', start);
        parts.push_back(id.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

// An enumerator (the first part of an instance id), in either case.
bool HasEnumerator(const std::string& instanceId, const std::string& enumerator)
{
    return Upper(instanceId).rfind(enumerator + "\\", 0) == 0;
}

// The node of the USB device itself: "USB\VID_...&PID_...\..." but not one of its
// interfaces ("&MI_nn").
bool IsUsbDeviceNode(const WindowsDeviceNode& node)
{
    return HasEnumerator(node.instanceId, "USB") && InterfaceOfInstanceId(node.instanceId) < 0;
}

}  // namespace

unsigned ComPortNumber(const std::string& name)
{
    std::string text = name;
    if (text.rfind("\\\\.\\", 0) == 0)
        text = text.substr(4);
    if (text.size() < 4 || text.size() > 13 || Upper(text.substr(0, 3)) != "COM")
        return 0;
    for (std::size_t i = 3; i < text.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return 0;
    const unsigned long number = std::strtoul(text.c_str() + 3, nullptr, 10);
    return number > 0 && number <= 0xFFFFFFFFul ? static_cast<unsigned>(number) : 0;
}

bool ParseVidPid(const std::string& id, std::string& vendorId, std::string& productId)
{
    const std::string vendor = Field4(id, "VID_"), product = Field4(id, "PID_");
    if (vendor.empty() || product.empty())
        return false;
    vendorId = vendor;
    productId = product;
    return true;
}

std::string SerialOfUsbInstanceId(const std::string& instanceId)
{
    const std::vector<std::string> parts = Parts(instanceId);
    if (parts.size() != 3 || Upper(parts[0]) != "USB" || parts[2].empty())
        return "";
    return parts[2].find('&') == std::string::npos ? parts[2] : "";
}

FtdiBusId ParseFtdiBusId(const std::string& instanceId)
{
    FtdiBusId id;
    const std::vector<std::string> parts = Parts(instanceId);
    if (parts.size() < 2 || Upper(parts[0]) != "FTDIBUS")
        return id;
    id.ok = ParseVidPid(parts[1], id.vendorId, id.productId);
    // The fields after "VID_0403+PID_6001": the serial number with the port letter.
    const std::size_t plus = parts[1].find('+', parts[1].find('+') + 1);
    if (!id.ok || plus == std::string::npos)
        return id;
    const std::string field = parts[1].substr(plus + 1);
    if (field.size() < 2 || field.find('&') != std::string::npos)
        return id;  // no serial number: the driver's own name for the place
    const char letter = field.back();
    if (letter >= 'A' && letter <= 'Z') {
        id.serial = field.substr(0, field.size() - 1);
        id.port = letter - 'A';
    } else {
        id.serial = field;
    }
    return id;
}

int InterfaceOfInstanceId(const std::string& instanceId)
{
    const std::vector<std::string> parts = Parts(instanceId);
    if (parts.size() < 2)
        return -1;
    const std::string device = Upper(parts[1]);
    const std::size_t at = device.find("&MI_");
    if (at == std::string::npos)
        return -1;
    const std::string digits = device.substr(at + 4, 2);
    if (digits.size() != 2 || !AllHex(digits))
        return -1;
    return static_cast<int>(std::strtol(digits.c_str(), nullptr, 16));
}

std::string UsbLocationName(const WindowsDeviceNode& node)
{
    // "Port_#0004.Hub_#0001": both numbers of 4 digits.
    const std::string& text = node.locationInformation;
    const std::string upper = Upper(text);
    if (upper.size() == 20 && upper.rfind("PORT_#", 0) == 0 && upper.compare(10, 6, ".HUB_#") == 0) {
        bool digits = true;
        for (const std::size_t i : {6u, 7u, 8u, 9u, 16u, 17u, 18u, 19u})
            digits = digits && std::isdigit(static_cast<unsigned char>(upper[i]));
        if (digits)
            return text;
    }
    for (const std::string& path : node.locationPaths)
        if (!path.empty())
            return path;
    return "";
}

WindowsUsbIds ParseUsbIds(const std::vector<WindowsDeviceNode>& nodes)
{
    WindowsUsbIds ids;
    const WindowsDeviceNode* device = nullptr;  // the USB device itself
    FtdiBusId ftdi;
    for (const WindowsDeviceNode& node : nodes) {
        if (!device && IsUsbDeviceNode(node))
            device = &node;
        if (!ftdi.ok)
            ftdi = ParseFtdiBusId(node.instanceId);
        if (ids.interfaceNumber < 0)
            ids.interfaceNumber = InterfaceOfInstanceId(node.instanceId);
        ids.usb = ids.usb || HasEnumerator(node.instanceId, "USB") || HasEnumerator(node.instanceId, "FTDIBUS");
    }
    if (!ids.usb)
        return ids;

    if (device) {
        ParseVidPid(device->instanceId, ids.vendorId, ids.productId);
        ids.serial = SerialOfUsbInstanceId(device->instanceId);
        ids.location = UsbLocationName(*device);
    }
    if (ftdi.ok) {
        if (ids.vendorId.empty()) {
            ids.vendorId = ftdi.vendorId;
            ids.productId = ftdi.productId;
        }
        if (ids.serial.empty())
            ids.serial = ftdi.serial;
        if (ids.interfaceNumber < 0)
            ids.interfaceNumber = ftdi.port;
    }
    // Ids that only a node's hardware ids carry (an interface's node with no USB device
    // found above it).
    for (const WindowsDeviceNode& node : nodes) {
        if (!ids.vendorId.empty())
            break;
        if (!ParseVidPid(node.instanceId, ids.vendorId, ids.productId))
            for (const std::string& hardwareId : node.hardwareIds)
                if (ParseVidPid(hardwareId, ids.vendorId, ids.productId))
                    break;
    }
    if (ids.location.empty() && !nodes.empty())
        ids.location = UsbLocationName(nodes.front());
    return ids;
}
