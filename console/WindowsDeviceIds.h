// Windows' names of a serial port's device, read as text: the device instance ids and
// hardware ids that SetupAPI gives ("USB\VID_0403&PID_6001\A50285BI", FTDI's own bus
// "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000"), and the device's place on the USB tree
// ("Port_#0004.Hub_#0001", or the location path "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)").
// Plain string work, so that it is tested on every platform; console/win32 reads the
// texts from the system.
#pragma once

#include <string>
#include <vector>

// "COM5" (either case; also "\\.\COM5"), n >= 1 -> n; 0 for any other name.
unsigned ComPortNumber(const std::string& name);

// One node of the device tree as SetupAPI tells it.
struct WindowsDeviceNode {
    std::string instanceId;                  // "USB\VID_0403&PID_6001\A50285BI"
    std::vector<std::string> hardwareIds;    // "USB\VID_0403&PID_6001&REV_0600", ...
    std::string locationInformation;         // "Port_#0004.Hub_#0001"
    std::vector<std::string> locationPaths;  // "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)" (Vista on)
};

// What the ids of a port's device and of the devices above it tell of a USB adapter.
struct WindowsUsbIds {
    bool usb = false;          // a USB device is behind the port
    std::string vendorId;      // "0403", in lower case as on Linux
    std::string productId;     // "6001"
    std::string serial;        // "A50285BI"; empty when the device has none
    std::string location;      // "Port_#0004.Hub_#0001": the socket it is plugged into
    int interfaceNumber = -1;  // the port of a multi-port adapter (MI_01, FTDI's letter B: 1)
};

// The USB ids of a port whose device node is nodes[0], its parent nodes[1] and so on up
// the tree. The serial number and the place come from the USB device itself (the first
// "USB\" node that is not one interface "&MI_nn" of a composite device); FTDI's bus
// device, when it is all there is, gives its ids, serial number and port letter too.
WindowsUsbIds ParseUsbIds(const std::vector<WindowsDeviceNode>& nodes);

// The parts of ParseUsbIds, each of one text:
// "VID_0403" and "PID_6001" anywhere in an id, separated by '&', '+' or '\' (upper or
// lower case hex); false unless both are there with 4 hex digits each.
bool ParseVidPid(const std::string& id, std::string& vendorId, std::string& productId);
// The serial number in a USB device's instance id: its last part, "A50285BI". Empty
// when Windows made that part up because the device has no serial number (it then
// holds '&': "5&2C2EAB1&0&2"), or for an id of another form.
std::string SerialOfUsbInstanceId(const std::string& instanceId);
// FTDI's bus id "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000": the serial number with the
// port letter (A for the first port) after it.
struct FtdiBusId {
    bool ok = false;
    std::string vendorId;
    std::string productId;
    std::string serial;  // "A50285BI"; empty when the device has none
    int port = -1;       // 0 for A, 1 for B, ...; -1 unknown
};
FtdiBusId ParseFtdiBusId(const std::string& instanceId);
// The interface number of a composite device's interface ("...&MI_01\..." -> 1); -1 if none.
int InterfaceOfInstanceId(const std::string& instanceId);
// The name of a USB device's place: its location information when that is of the form
// "Port_#0004.Hub_#0001" (Windows Vista on; XP puts the product's name there), else its
// first location path; empty when it has neither.
std::string UsbLocationName(const WindowsDeviceNode& node);
