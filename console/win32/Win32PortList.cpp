// --list-ports on Windows: the present devices of SetupAPI's Ports class and those with a
// COM port interface (multi-port cards, modems), each with its PortName, names, service
// and the ids of the devices above it (the USB adapter behind an FTDI port); then every
// port that only HKLM\HARDWARE\DEVICEMAP\SERIALCOMM names: virtual ports, and the ports
// that Wine maps to devices of its host. Works on Windows XP: the location paths that
// Vista added are read where the system has them.
#include "console/PortList.h"
#include "console/UsbPortName.h"
#include "console/WindowsPorts.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <set>

namespace {

// {4D36E978-E325-11CE-BFC1-08002BE10318}: the Ports (COM & LPT) device class.
const GUID PORTS_CLASS = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
// {86E0D1E0-8089-11D0-9CE4-08003E301F73}: GUID_DEVINTERFACE_COMPORT.
const GUID COMPORT_INTERFACE = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// How far up the tree the ids are looked for: an FTDI port's node, the USB interface of
// a multi-port adapter, the USB device.
constexpr int PARENT_LEVELS = 3;

// A string (or, for REG_MULTI_SZ, every string) of a device's registry property.
std::vector<std::string> Property(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property)
{
    std::vector<std::string> values;
    DWORD type = 0, needed = 0;
    std::vector<char> buffer(512);
    BOOL ok = SetupDiGetDeviceRegistryPropertyA(set, &data, property, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                                static_cast<DWORD>(buffer.size()), &needed);
    if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > buffer.size()) {
        buffer.resize(needed);
        ok = SetupDiGetDeviceRegistryPropertyA(set, &data, property, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                               static_cast<DWORD>(buffer.size()), &needed);
    }
    if (!ok || (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ))
        return values;
    buffer.push_back('\0');
    buffer.push_back('\0');
    const std::size_t end = std::min<std::size_t>(needed, buffer.size() - 2);
    for (std::size_t at = 0; at < end;) {
        const std::string value(buffer.data() + at);
        if (value.empty())
            break;
        values.push_back(value);
        at += value.size() + 1;
        if (type != REG_MULTI_SZ)
            break;
    }
    return values;
}

std::string FirstProperty(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property)
{
    const std::vector<std::string> values = Property(set, data, property);
    return values.empty() ? std::string() : values.front();
}

// A string value of an open key; empty if it has none.
std::string StringValue(HKEY key, const char* name)
{
    char buffer[256] = {};
    DWORD type = 0, size = sizeof buffer - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return "";
    buffer[std::min<DWORD>(size, sizeof buffer - 1)] = '\0';
    return buffer;
}

// A DWORD value of an open key; -1 if it has none.
long DwordValue(HKEY key, const char* name)
{
    DWORD value = 0, type = 0, size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return -1;
    return value > 0x7FFFFFFFul ? -1 : static_cast<long>(value);
}

std::string InstanceId(HDEVINFO set, SP_DEVINFO_DATA& data)
{
    char buffer[MAX_DEVICE_ID_LEN + 1] = {};
    DWORD needed = 0;
    return SetupDiGetDeviceInstanceIdA(set, &data, buffer, sizeof buffer, &needed) ? buffer : "";
}

WindowsDeviceNode Node(HDEVINFO set, SP_DEVINFO_DATA& data)
{
    WindowsDeviceNode node;
    node.instanceId = InstanceId(set, data);
    node.hardwareIds = Property(set, data, SPDRP_HARDWAREID);
    node.locationInformation = FirstProperty(set, data, SPDRP_LOCATION_INFORMATION);
    node.locationPaths = Property(set, data, SPDRP_LOCATION_PATHS);  // fails on XP: none
    return node;
}

// The nodes above a device, nearest first.
void AddParents(DEVINST device, std::vector<WindowsDeviceNode>& nodes)
{
    HDEVINFO parents = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (parents == INVALID_HANDLE_VALUE)
        return;
    DEVINST current = device;
    for (int level = 0; level < PARENT_LEVELS; ++level) {
        DEVINST parent = 0;
        char id[MAX_DEVICE_ID_LEN + 1] = {};
        if (CM_Get_Parent(&parent, current, 0) != CR_SUCCESS ||
            CM_Get_Device_IDA(parent, id, sizeof id - 1, 0) != CR_SUCCESS)
            break;
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiOpenDeviceInfoA(parents, id, nullptr, 0, &data)) {
            WindowsDeviceNode node;
            node.instanceId = id;
            nodes.push_back(node);
        } else {
            nodes.push_back(Node(parents, data));
        }
        // A hub's parents tell nothing of the adapter.
        if (std::string(id).find("ROOT_HUB") != std::string::npos)
            break;
        current = parent;
    }
    SetupDiDestroyDeviceInfoList(parents);
}

// The present devices of one set, each once (by instance id).
void AddDevices(HDEVINFO set, std::set<std::string>& seen, std::vector<WindowsPortDevice>& devices)
{
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &data); ++index) {
        WindowsPortDevice device;
        device.nodes.push_back(Node(set, data));
        if (!seen.insert(device.nodes.front().instanceId).second)
            continue;
        HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key != INVALID_HANDLE_VALUE) {
            device.portName = StringValue(key, "PortName");
            // FTDI's driver keeps its latency timer (ms) beside the port's name.
            device.latencyTimerMs = static_cast<int>(DwordValue(key, "LatencyTimer"));
            RegCloseKey(key);
        }
        if (ComPortNumber(device.portName) == 0)
            continue;  // a printer port, or a device that has no port (yet)
        device.friendlyName = FirstProperty(set, data, SPDRP_FRIENDLYNAME);
        device.description = FirstProperty(set, data, SPDRP_DEVICEDESC);
        device.manufacturer = FirstProperty(set, data, SPDRP_MFG);
        device.service = FirstProperty(set, data, SPDRP_SERVICE);
        AddParents(data.DevInst, device.nodes);
        devices.push_back(device);
    }
    SetupDiDestroyDeviceInfoList(set);
}

std::vector<SerialCommEntry> SerialComm()
{
    std::vector<SerialCommEntry> entries;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return entries;
    for (DWORD index = 0;; ++index) {
        char name[256] = {};
        BYTE value[256] = {};
        DWORD nameSize = sizeof name - 1, valueSize = sizeof value - 1, type = 0;
        const LONG status = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, value, &valueSize);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || type != REG_SZ)
            continue;
        value[std::min<DWORD>(valueSize, sizeof value - 1)] = '\0';
        entries.push_back({name, reinterpret_cast<const char*>(value)});
    }
    RegCloseKey(key);
    return entries;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const std::string&)
{
    std::vector<WindowsPortDevice> devices;
    std::set<std::string> seen;
    AddDevices(SetupDiGetClassDevsA(&PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT), seen, devices);
    AddDevices(SetupDiGetClassDevsA(&COMPORT_INTERFACE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), seen,
               devices);
    return MergeWindowsPorts(devices, SerialComm());
}

int LatencyTimerMs(const std::string& root, const std::string& name)
{
    const unsigned number = ComPortNumber(name);
    for (const SerialPortInfo& port : ListSerialPorts(root))
        if (number != 0 && ComPortNumber(port.path) == number)
            return port.latencyTimerMs;
    return -1;
}

std::string LatencyTimerFix(const std::string& name)
{
    return WindowsLatencyTimerFix(name);
}

PortResolution ResolvePortName(const std::string& name, const std::string& root)
{
    return ResolvePortNameAmong(name, ListSerialPorts(root), WindowsPortLookup());
}
