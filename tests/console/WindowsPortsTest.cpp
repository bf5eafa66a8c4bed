// The Windows port listing, names and checks over what SetupAPI and the registry say:
// an FTDI adapter (FTDIBUS node under its USB device) on COM5, the two ports of an
// FT2232 on COM7 and COM8, a composite CDC device's interface on COM12, a Prolific
// adapter without a serial number on COM4, the machine's own COM1, and a virtual port
// that only SERIALCOMM names.
#include "console/WindowsPorts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace {

const std::string FTDI_USB = "USB\\VID_0403&PID_6001\\A50285BI";
const std::string FTDI_PORT = "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000";

WindowsDeviceNode Node(const std::string& instanceId, const std::string& location = "",
                       const std::vector<std::string>& paths = {})
{
    WindowsDeviceNode node;
    node.instanceId = instanceId;
    node.locationInformation = location;
    node.locationPaths = paths;
    return node;
}

WindowsPortDevice Device(const std::string& port, const std::string& friendlyName, const std::string& service,
                         const std::vector<WindowsDeviceNode>& nodes, int latency = -1)
{
    WindowsPortDevice device;
    device.portName = port;
    device.friendlyName = friendlyName;
    device.service = service;
    device.nodes = nodes;
    device.latencyTimerMs = latency;
    return device;
}

WindowsPortDevice Ftdi(int latency = 16)
{
    WindowsPortDevice device =
        Device("COM5", "USB Serial Port (COM5)", "FTSER2K",
               {Node(FTDI_PORT, "USB Serial Converter"),
                Node(FTDI_USB, "Port_#0004.Hub_#0001", {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)"})},
               latency);
    device.manufacturer = "FTDI";
    return device;
}

std::vector<WindowsPortDevice> Devices()
{
    return {
        Ftdi(),
        Device("COM8", "USB Serial Port (COM8)", "FTSER2K",
               {Node("FTDIBUS\\VID_0403+PID_6010+FT2232B\\0000"),
                Node("USB\\VID_0403&PID_6010\\FT2232", "Port_#0002.Hub_#0003")},
               1),
        Device("COM7", "USB Serial Port (COM7)", "FTSER2K",
               {Node("FTDIBUS\\VID_0403+PID_6010+FT2232A\\0000"),
                Node("USB\\VID_0403&PID_6010\\FT2232", "Port_#0002.Hub_#0003")},
               1),
        Device("COM12", "USB Serial Device (COM12)", "usbser",
               {Node("USB\\VID_2E8A&PID_000A&MI_02\\6&1B2C3D4E&0&0002", "0000.0014.0000.003.000.000.000.000.000"),
                Node("USB\\VID_2E8A&PID_000A\\E6614103E7452D2F", "Port_#0003.Hub_#0001")}),
        Device("COM4", "Prolific USB-to-Serial Comm Port (COM4)", "Ser2pl",
               {Node("USB\\VID_067B&PID_2303\\5&2C2EAB1&0&2", "Port_#0001.Hub_#0002")}),
        Device("COM1", "Communications Port (COM1)", "Serial", {Node("ACPI\\PNP0501\\1")}),
        Device("LPT1", "Printer Port (LPT1)", "Parport", {Node("ACPI\\PNP0400\\1")}),
    };
}

std::vector<SerialPortInfo> Ports()
{
    return MergeWindowsPorts(Devices(), {{"\\Device\\Serial0", "COM1"}, {"\\Device\\com0com10", "COM10"}});
}

const SerialPortInfo& Port(const std::vector<SerialPortInfo>& ports, const std::string& path)
{
    for (const SerialPortInfo& port : ports)
        if (port.path == path)
            return port;
    static const SerialPortInfo none;
    ADD_FAILURE() << path << " not listed";
    return none;
}

TEST(WindowsDeviceIds, ComNamesInEitherCaseAndAsDeviceNames)
{
    EXPECT_EQ(5u, ComPortNumber("COM5"));
    EXPECT_EQ(12u, ComPortNumber("com12"));
    EXPECT_EQ(3u, ComPortNumber("\\\\.\\COM3"));
    EXPECT_EQ(0u, ComPortNumber("COM0"));
    EXPECT_EQ(0u, ComPortNumber("COM"));
    EXPECT_EQ(0u, ComPortNumber("COM5x"));
    EXPECT_EQ(0u, ComPortNumber("LPT1"));
    EXPECT_EQ(0u, ComPortNumber("/dev/ttyS0"));
}

TEST(WindowsDeviceIds, VendorAndProductIdsOfEachIdForm)
{
    std::string vendor, product;
    ASSERT_TRUE(ParseVidPid(FTDI_USB, vendor, product));
    EXPECT_EQ("0403", vendor);
    EXPECT_EQ("6001", product);
    ASSERT_TRUE(ParseVidPid("FTDIBUS\\COMPORT&VID_0403&PID_6015", vendor, product));
    EXPECT_EQ("6015", product);
    ASSERT_TRUE(ParseVidPid("USB\\VID_1A86&PID_7523&REV_0264", vendor, product));
    EXPECT_EQ("1a86", vendor);  // lower case, as Linux writes them
    ASSERT_TRUE(ParseVidPid("FTDIBUS\\VID_0403+PID_6010+FT2232B\\0000", vendor, product));
    EXPECT_EQ("6010", product);
    // Not a field of its own, not 4 hex digits, or one of the two missing.
    EXPECT_FALSE(ParseVidPid("USB\\XVID_0403&PID_6001", vendor, product));
    EXPECT_FALSE(ParseVidPid("USB\\VID_04031&PID_6001", vendor, product));
    EXPECT_FALSE(ParseVidPid("USB\\VID_04G3&PID_6001", vendor, product));
    EXPECT_FALSE(ParseVidPid("USB\\VID_0403", vendor, product));
    EXPECT_FALSE(ParseVidPid("ACPI\\PNP0501\\1", vendor, product));
}

TEST(WindowsDeviceIds, SerialNumbersAndPortLettersOfInstanceIds)
{
    EXPECT_EQ("A50285BI", SerialOfUsbInstanceId(FTDI_USB));
    EXPECT_EQ("", SerialOfUsbInstanceId("USB\\VID_067B&PID_2303\\5&2C2EAB1&0&2"));  // made up by Windows
    EXPECT_EQ("", SerialOfUsbInstanceId("ACPI\\PNP0501\\1"));
    EXPECT_EQ("", SerialOfUsbInstanceId(FTDI_PORT));

    const FtdiBusId single = ParseFtdiBusId(FTDI_PORT);
    ASSERT_TRUE(single.ok);
    EXPECT_EQ("0403", single.vendorId);
    EXPECT_EQ("A50285BI", single.serial);
    EXPECT_EQ(0, single.port);
    const FtdiBusId second = ParseFtdiBusId("ftdibus\\VID_0403+PID_6010+FT2232B\\0000");
    EXPECT_EQ("FT2232", second.serial);
    EXPECT_EQ(1, second.port);
    const FtdiBusId noSerial = ParseFtdiBusId("FTDIBUS\\VID_0403+PID_6001+6&3A8F1A2&0&4\\0000");
    ASSERT_TRUE(noSerial.ok);
    EXPECT_EQ("", noSerial.serial);
    EXPECT_EQ(-1, noSerial.port);
    EXPECT_FALSE(ParseFtdiBusId(FTDI_USB).ok);

    EXPECT_EQ(2, InterfaceOfInstanceId("USB\\VID_2E8A&PID_000A&MI_02\\6&1B2C3D4E&0&0002"));
    EXPECT_EQ(-1, InterfaceOfInstanceId(FTDI_USB));
}

TEST(WindowsDeviceIds, ThePlaceIsThePortAndHubOrElseTheLocationPath)
{
    EXPECT_EQ("Port_#0004.Hub_#0001", UsbLocationName(Node(FTDI_USB, "Port_#0004.Hub_#0001", {"PCIROOT(0)#USB(4)"})));
    // Windows XP puts the product's name there: the location path (if any) names the place.
    EXPECT_EQ("PCIROOT(0)#PCI(1D00)#USBROOT(0)#USB(2)",
              UsbLocationName(Node(FTDI_USB, "FT232R USB UART", {"PCIROOT(0)#PCI(1D00)#USBROOT(0)#USB(2)"})));
    EXPECT_EQ("", UsbLocationName(Node(FTDI_USB, "FT232R USB UART")));
    EXPECT_EQ("", UsbLocationName(Node(FTDI_USB, "Port_#04.Hub_#0001")));
}

TEST(WindowsDeviceIds, TheAdapterIsFoundAboveThePortsNode)
{
    // FTDI: the serial number and the place of the USB device, the letter of the bus node.
    WindowsUsbIds ids = ParseUsbIds(Ftdi().nodes);
    EXPECT_TRUE(ids.usb);
    EXPECT_EQ("0403", ids.vendorId);
    EXPECT_EQ("6001", ids.productId);
    EXPECT_EQ("A50285BI", ids.serial);
    EXPECT_EQ("Port_#0004.Hub_#0001", ids.location);
    EXPECT_EQ(0, ids.interfaceNumber);

    // The bus node alone (its parent could not be read): its own ids.
    ids = ParseUsbIds({Node("FTDIBUS\\VID_0403+PID_6010+FT2232B\\0000")});
    EXPECT_TRUE(ids.usb);
    EXPECT_EQ("6010", ids.productId);
    EXPECT_EQ("FT2232", ids.serial);
    EXPECT_EQ(1, ids.interfaceNumber);
    EXPECT_EQ("", ids.location);

    // A composite device's interface: the device above it has the serial number and place.
    ids = ParseUsbIds(Devices()[3].nodes);
    EXPECT_EQ("2e8a", ids.vendorId);
    EXPECT_EQ("E6614103E7452D2F", ids.serial);
    EXPECT_EQ("Port_#0003.Hub_#0001", ids.location);
    EXPECT_EQ(2, ids.interfaceNumber);

    // An interface whose parent is unknown: the ids of its hardware ids, no serial number.
    WindowsDeviceNode lone = Node("USB\\VID_2E8A&PID_000A&MI_02\\6&1B2C3D4E&0&0002");
    ids = ParseUsbIds({lone});
    EXPECT_EQ("2e8a", ids.vendorId);
    EXPECT_EQ("", ids.serial);

    EXPECT_FALSE(ParseUsbIds({Node("ACPI\\PNP0501\\1")}).usb);
    EXPECT_FALSE(ParseUsbIds({}).usb);
}

TEST(WindowsPortList, DevicesAndSerialCommPortsByComNumber)
{
    const std::vector<SerialPortInfo> ports = Ports();
    std::vector<std::string> paths;
    for (const SerialPortInfo& port : ports)
        paths.push_back(port.path);
    // No printer port; COM1 once although both SetupAPI and SERIALCOMM have it.
    EXPECT_EQ((std::vector<std::string>{"COM1", "COM4", "COM5", "COM7", "COM8", "COM10", "COM12"}), paths);

    const SerialPortInfo& ftdi = Port(ports, "COM5");
    EXPECT_EQ("COM5  USB 0403:6001  FTDI USB Serial Port  serial A50285BI  at Port_#0004.Hub_#0001  driver FTSER2K  "
              "latency 16 ms  names usb:0403:6001:A50285BI usb-path:Port_#0004.Hub_#0001",
              FormatPortLine(ftdi));
    EXPECT_FALSE(LowLatencyShortensHold(ftdi));  // Windows' drivers have no low-latency flag
    EXPECT_EQ("COM1  Communications Port  (Serial)", FormatPortLine(Port(ports, "COM1")));
    EXPECT_EQ("COM10  \\Device\\com0com10", FormatPortLine(Port(ports, "COM10")));
    EXPECT_EQ("COM4  USB 067b:2303  Prolific USB-to-Serial Comm Port  at Port_#0001.Hub_#0002  driver Ser2pl  names "
              "usb:067b:2303 usb-path:Port_#0001.Hub_#0002",
              FormatPortLine(Port(ports, "COM4")));
    EXPECT_EQ(-1, Port(ports, "COM12").latencyTimerMs);

    // A port name in another case is listed as COMn; an out-of-range latency is none.
    WindowsPortDevice odd = Ftdi(4000);
    odd.portName = "com6";
    const std::vector<SerialPortInfo> one = MergeWindowsPorts({odd}, {});
    ASSERT_EQ(1u, one.size());
    EXPECT_EQ("COM6", one[0].path);
    EXPECT_EQ(-1, one[0].latencyTimerMs);
}

TEST(WindowsPortList, UsbNamesResolveToComPorts)
{
    const std::vector<SerialPortInfo> ports = Ports();
    const PortLookup lookup = WindowsPortLookup();
    PortResolution found = ResolvePortNameAmong("usb:A50285BI", ports, lookup);
    ASSERT_TRUE(found.ok) << found.error;
    EXPECT_EQ("COM5", found.path);
    found = ResolvePortNameAmong("usb-path:port_#0003.hub_#0001", ports, lookup);
    ASSERT_TRUE(found.ok) << found.error;
    EXPECT_EQ("COM12", found.path);
    // Any other name is opened as given, known as the port it names.
    found = ResolvePortNameAmong("\\\\.\\com5", ports, lookup);
    EXPECT_TRUE(found.ok);
    EXPECT_EQ("\\\\.\\com5", found.path);
    EXPECT_EQ("A50285BI", found.info.serial);
    // The two ports of one adapter share its place: only their COM names tell them apart.
    found = ResolvePortNameAmong("usb:FT2232", ports, lookup);
    EXPECT_FALSE(found.ok);
    EXPECT_NE(found.error.find("matches 2 USB serial adapters: COM7 (usb-path:Port_#0002.Hub_#0003, interface 0), "
                               "COM8 (usb-path:Port_#0002.Hub_#0003, interface 1); name one by its COM name"),
              std::string::npos)
        << found.error;
}

TEST(WindowsPortCheck, OpenFailuresInWindowsWordsWithWhatToDo)
{
    WindowsOpenResult result;
    result.error = WIN_ERROR_FILE_NOT_FOUND;
    result.text = "The system cannot find the file specified.";
    EXPECT_EQ("The system cannot find the file specified. (is the adapter plugged in? --list-ports lists the serial "
              "ports present)",
              DescribeWindowsOpenError(result));
    result = {false, false, WIN_ERROR_ACCESS_DENIED, "Access is denied."};
    EXPECT_EQ("Access is denied. (in use by another program, or this user may not open it)",
              DescribeWindowsOpenError(result));
    result = {false, false, WIN_ERROR_SHARING_VIOLATION,
              "The process cannot access the file because it is being used by another process."};
    EXPECT_EQ("The process cannot access the file because it is being used by another process. (in use by another "
              "program)",
              DescribeWindowsOpenError(result));
    // Known to be held (another of the suite's programs claimed it): said so.
    result = {false, true, WIN_ERROR_ACCESS_DENIED, "Access is denied."};
    EXPECT_EQ("Access is denied. (in use by another program)", DescribeWindowsOpenError(result));
    result = {false, false, 31, ""};  // a text the system does not have
    EXPECT_EQ("error 31", DescribeWindowsOpenError(result));
}

// --doctor over Ports(), each device opening as `answers` says (by default it opens).
class WindowsDoctorCheck : public ::testing::Test {
protected:
    int Run(const std::string& port, const std::vector<SerialPortInfo>& ports)
    {
        m_opened.clear();
        char* buffer = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&buffer, &size);
        const int status = RunWindowsDoctor(
            port, ports,
            [this](const std::string& device) {
                m_opened.push_back(device);
                const auto answer = m_answers.find(device);
                if (answer != m_answers.end())
                    return answer->second;
                WindowsOpenResult opened;
                opened.opened = true;
                return opened;
            },
            out);
        std::fclose(out);
        m_text.assign(buffer, size);
        std::free(buffer);
        return status;
    }
    int Run(const std::string& port) { return Run(port, Ports()); }

    void Has(const std::string& piece) const
    {
        EXPECT_NE(m_text.find(piece), std::string::npos) << "wanted: " << piece << "\nin:\n" << m_text;
    }

    std::map<std::string, WindowsOpenResult> m_answers;
    std::vector<std::string> m_opened;
    std::string m_text;
};

TEST_F(WindowsDoctorCheck, AGoodPortPassesEveryCheck)
{
    EXPECT_EQ(0, Run("usb:0403:6010:FT2232", {Port(Ports(), "COM7")}));
    EXPECT_EQ("usb:0403:6010:FT2232 is COM7\n"
              "port: COM7  USB 0403:6010  USB Serial Port  serial FT2232  at Port_#0002.Hub_#0003  driver FTSER2K  "
              "latency 1 ms  names usb:0403:6010:FT2232 usb-path:Port_#0002.Hub_#0003\n"
              "ok: COM7 can be opened: no other program has it open\n"
              "ok: latency timer 1 ms\n",
              m_text);
    EXPECT_EQ((std::vector<std::string>{"\\\\.\\COM7"}), m_opened);
    EXPECT_EQ(0, Run("com1"));
    Has("port: COM1  Communications Port  (Serial)\nok: COM1 can be opened");
    Has("ok: no latency timer (not an FTDI adapter)\n");
}

TEST_F(WindowsDoctorCheck, APortHeldOrRefusedOrMissingSaysWhatToDo)
{
    m_answers["\\\\.\\COM12"] = {false, false, WIN_ERROR_ACCESS_DENIED, "Access is denied."};
    EXPECT_EQ(1, Run("COM12"));
    Has("problem: COM12 cannot be opened: Access is denied. (another program has it open, or this user may not open "
        "it); fix: close the program that has it open");
    Has("ok: no latency timer");

    m_answers["\\\\.\\COM12"] = {false, false, WIN_ERROR_SHARING_VIOLATION, "The process cannot access the file."};
    EXPECT_EQ(1, Run("COM12"));
    Has("problem: COM12 is in use by another program (The process cannot access the file.); fix: close the program");
    m_answers["\\\\.\\COM12"] = {false, true, WIN_ERROR_ACCESS_DENIED, "Access is denied."};
    EXPECT_EQ(1, Run("COM12"));
    Has("problem: COM12 is in use by another program (Access is denied.); fix: close the program");

    // Not there at all: said once, with nothing else to check.
    m_answers["\\\\.\\COM30"] = {false, false, WIN_ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."};
    EXPECT_EQ(1, Run("COM30"));
    EXPECT_EQ("port: COM30  (not among the serial ports listed)\n"
              "problem: COM30: The system cannot find the file specified. (no such port); fix: plug the adapter in, "
              "or name a port that is present (--list-ports lists them)\n",
              m_text);
    m_answers["\\\\.\\COM10"] = {false, false, WIN_ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."};
    EXPECT_EQ(1, Run("COM10"));
    Has("problem: COM10: The system cannot find the path specified. (no such port); fix: plug the adapter in");
    EXPECT_EQ(std::string::npos, m_text.find("latency"));

    EXPECT_EQ(1, Run("usb:NOSUCH"));
    Has("problem: no USB serial adapter matches usb:NOSUCH; present: COM4");
    EXPECT_TRUE(m_opened.empty());
}

TEST_F(WindowsDoctorCheck, ASlowLatencyTimerGetsTheDeviceManagerFix)
{
    EXPECT_EQ(1, Run("COM5"));
    Has("ok: COM5 can be opened");
    Has("\nwarning: the latency timer of COM5 is 16 ms: every reply can wait that long, and a whole Quarrow write has "
        "16,401 replies: 16 ms \u00d7 16,401 = 262.4 s; fix: in Device Manager, Ports (COM & LPT) > the adapter's "
        "port (COM5) > Properties > Port Settings > Advanced > Latency Timer (msec): set 1, then OK\n");
}

TEST_F(WindowsDoctorCheck, EveryPortUsbAdaptersFirst)
{
    m_answers["\\\\.\\COM8"] = {false, false, WIN_ERROR_ACCESS_DENIED, "Access is denied."};
    EXPECT_EQ(1, Run(""));
    EXPECT_EQ((std::vector<std::string>{"\\\\.\\COM4", "\\\\.\\COM5", "\\\\.\\COM7", "\\\\.\\COM8", "\\\\.\\COM12",
                                        "\\\\.\\COM1", "\\\\.\\COM10"}),
              m_opened);
    EXPECT_EQ(1, Run("", {}));
    EXPECT_EQ(0u, m_text.find("problem: no serial ports found; fix: plug the adapter in"));
    EXPECT_EQ(0, Run("", {Port(Ports(), "COM1"), Port(Ports(), "COM7")}));
}

}  // namespace
