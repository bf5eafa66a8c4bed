// Ports named by their USB adapter, over a copy of sysfs: two FTDI adapters (0403:6001)
// at 1-1.2 and 1-1.4, a CH340 (1a86:7523) with no serial number at 1-1.3, and ttyS0,
// the kernel's console.
#include "console/PortList.h"
#include "console/UsbPortName.h"
#include "SysfsTree.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

const std::string HUB = "pci0000:00/0000:00:14.0/usb1/1-1/";

bool Contains(const std::string& text, const std::string& piece)
{
    return text.find(piece) != std::string::npos;
}

class UsbPortName : public SysfsTree {
protected:
    void SetUp() override
    {
        SysfsTree::SetUp();
        Adapter("ttyUSB0", "1-1.2", "0403", "6001", "A50285BI", "ftdi_sio");
        Adapter("ttyUSB1", "1-1.4", "0403", "6001", "FT0XYZ12", "ftdi_sio");
        Adapter("ttyUSB2", "1-1.3", "1a86", "7523", "", "ch341-uart");
        Tty("ttyS0", "platform/serial8250/tty/ttyS0", "serial8250");
        Write(m_root / "sys/class/tty/ttyS0/type", "4");
        MakeNode("ttyS0");
        Write(m_root / "sys/class/tty/console/active", "tty0 ttyS0");
    }

    // A one-port adapter at `place` on the hub, its tty on interface 0, with its node.
    void Adapter(const std::string& tty, const std::string& place, const std::string& vendorId,
                 const std::string& productId, const std::string& serial, const std::string& driver,
                 const std::string& interfaceName = "1.0")
    {
        Tty(tty, HUB + place + "/" + place + ":" + interfaceName + "/" + tty, driver);
        UsbDevice(HUB + place, vendorId, productId, serial);
        MakeNode(tty);
    }

    PortResolution Resolve(const std::string& name) { return ResolvePortName(name, m_root.string()); }
};

TEST_F(UsbPortName, TheListingCarriesThePlaceTheInterfaceAndTheConsole)
{
    Write(m_root / "sys/devices" / HUB / "1-1.4/1-1.4:1.0/bInterfaceNumber", "00");
    Adapter("ttyUSB3", "1-1.5", "0403", "6010", "FT2232", "ftdi_sio", "1.1");  // the second port of a dual adapter
    const std::vector<SerialPortInfo> ports = ListSerialPorts(m_root.string());
    ASSERT_EQ(ports.size(), 5u);
    EXPECT_EQ(ports[0].path, Dev("ttyS0"));
    EXPECT_TRUE(ports[0].systemConsole);
    EXPECT_TRUE(ports[0].usbPath.empty());
    EXPECT_EQ(ports[1].usbPath, "1-1.2");
    EXPECT_EQ(ports[2].usbPath, "1-1.4");
    EXPECT_EQ(ports[3].usbPath, "1-1.3");
    EXPECT_EQ(ports[4].usbPath, "1-1.5");
    EXPECT_EQ(ports[1].interfaceNumber, 0);
    EXPECT_EQ(ports[2].interfaceNumber, 0);
    EXPECT_EQ(ports[4].interfaceNumber, 1);
    for (std::size_t i = 1; i < ports.size(); ++i)
        EXPECT_FALSE(ports[i].systemConsole) << ports[i].path;
}

TEST_F(UsbPortName, EachFormPicksItsAdapter)
{
    struct Case {
        const char* name;
        const char* tty;
    };
    for (const Case& c :
         {Case{"usb:A50285BI", "ttyUSB0"}, Case{"usb:FT0XYZ12", "ttyUSB1"}, Case{"usb:0403:6001:FT0XYZ12", "ttyUSB1"},
          Case{"usb:1a86:7523", "ttyUSB2"}, Case{"usb:1A86:7523", "ttyUSB2"}, Case{"usb-path:1-1.4", "ttyUSB1"},
          Case{"usb-path:1-1.3", "ttyUSB2"}}) {
        const PortResolution r = Resolve(c.name);
        EXPECT_TRUE(r.ok) << c.name << ": " << r.error;
        EXPECT_EQ(r.path, Dev(c.tty)) << c.name;
        EXPECT_EQ(r.info.path, Dev(c.tty)) << c.name;
    }
    const PortResolution r = Resolve("usb:A50285BI");
    EXPECT_EQ(r.info.vendorId, "0403");
    EXPECT_EQ(r.info.usbPath, "1-1.2");
    // The serial number is compared exactly: another case is another adapter.
    EXPECT_FALSE(Resolve("usb:a50285bi").ok);
}

TEST_F(UsbPortName, APathOpensAsGivenWithTheIdentityOfTheListedPort)
{
    const PortResolution listed = Resolve(Dev("ttyUSB1"));
    EXPECT_TRUE(listed.ok);
    EXPECT_EQ(listed.path, Dev("ttyUSB1"));
    EXPECT_EQ(listed.info.serial, "FT0XYZ12");

    // A by-id link is the port it leads to; the path opened stays the link.
    fs::create_directories(m_root / "dev/serial/by-id");
    const std::string link = (m_root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0").string();
    fs::create_symlink("../../ttyUSB0", link);
    const PortResolution linked = Resolve(link);
    EXPECT_EQ(linked.path, link);
    EXPECT_EQ(linked.info.usbPath, "1-1.2");

    for (const std::string& name : {Dev("ttyUSB9"), std::string("COM3")}) {
        const PortResolution other = Resolve(name);
        EXPECT_TRUE(other.ok) << name;
        EXPECT_EQ(other.path, name);
        EXPECT_EQ(other.info.path, name);
        EXPECT_FALSE(other.info.usb) << name;
    }
}

TEST_F(UsbPortName, AnAmbiguousNameNamesEachAdapterItMatches)
{
    const PortResolution r = Resolve("usb:0403:6001");
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.path.empty());
    for (const char* piece :
         {"usb:0403:6001", "ttyUSB0 (usb-path:1-1.2)", "ttyUSB1 (usb-path:1-1.4)", "usb-path: name"})
        EXPECT_TRUE(Contains(r.error, piece)) << piece << " not in: " << r.error;
    EXPECT_FALSE(Contains(r.error, "ttyUSB2")) << r.error;

    // The two ports of one dual adapter share their place: only their ttys tell them apart.
    Adapter("ttyUSB3", "1-1.5", "0403", "6010", "FT2232", "ftdi_sio", "1.0");
    Tty("ttyUSB4", HUB + "1-1.5/1-1.5:1.1/ttyUSB4", "ftdi_sio");
    MakeNode("ttyUSB4");
    const PortResolution dual = Resolve("usb-path:1-1.5");
    EXPECT_FALSE(dual.ok);
    for (const char* piece :
         {"ttyUSB3 (usb-path:1-1.5, interface 0)", "ttyUSB4 (usb-path:1-1.5, interface 1)", "tty path"})
        EXPECT_TRUE(Contains(dual.error, piece)) << piece << " not in: " << dual.error;
}

TEST_F(UsbPortName, NoMatchListsTheAdaptersPresent)
{
    const PortResolution r = Resolve("usb:NOSUCH");
    EXPECT_FALSE(r.ok);
    for (const std::string& piece :
         {std::string("usb:NOSUCH"), Dev("ttyUSB0") + " (usb:0403:6001:A50285BI, usb-path:1-1.2)",
          Dev("ttyUSB1") + " (usb:0403:6001:FT0XYZ12, usb-path:1-1.4)",
          Dev("ttyUSB2") + " (usb:1a86:7523, usb-path:1-1.3)"})
        EXPECT_TRUE(Contains(r.error, piece)) << piece << " not in: " << r.error;
    EXPECT_FALSE(Contains(r.error, "ttyS0")) << r.error;

    // sysfs still shows an adapter whose node is gone: it cannot be opened, so it does not match.
    fs::remove(Dev("ttyUSB1"));
    const PortResolution gone = Resolve("usb-path:1-1.4");
    EXPECT_FALSE(gone.ok);
    EXPECT_FALSE(Contains(gone.error, "ttyUSB1")) << gone.error;
    EXPECT_TRUE(Contains(gone.error, "usb-path:1-1.2")) << gone.error;

    fs::remove_all(m_root / "sys/class/tty");
    EXPECT_TRUE(Contains(Resolve("usb:A50285BI").error, "no USB serial adapters present"));
}

TEST_F(UsbPortName, NamesThatAskForNothingAreRefusedWithTheForms)
{
    EXPECT_TRUE(IsUsbPortName("usb:A50285BI"));
    EXPECT_TRUE(IsUsbPortName("usb-path:1-1.4"));
    EXPECT_TRUE(IsUsbPortName("usb:"));
    for (const char* name : {"/dev/ttyUSB0", "usb", "usbserial", "USB:A50285BI", "COM3", ""})
        EXPECT_FALSE(IsUsbPortName(name)) << name;

    for (const char* name : {"usb:", "usb-path:", "usb:0403:6001:"}) {
        const PortResolution r = Resolve(name);
        EXPECT_FALSE(r.ok) << name;
        EXPECT_TRUE(Contains(r.error, "usb:VID:PID:SERIAL")) << r.error;
    }
}

TEST_F(UsbPortName, ASerialWithColonsIsIdsOnlyWhenBothLookLikeIds)
{
    Adapter("ttyUSB3", "1-1.5", "0403", "6015", "AB:CD", "ftdi_sio");
    Adapter("ttyUSB4", "1-1.6", "10c4", "ea60", "beef:0001", "cp210x");
    EXPECT_EQ(Resolve("usb:AB:CD").path, Dev("ttyUSB3"));  // "AB" is no 4-digit id
    EXPECT_FALSE(Resolve("usb:beef:0001").ok);             // read as VID beef, PID 0001
    EXPECT_EQ(Resolve("usb:10c4:ea60:beef:0001").path, Dev("ttyUSB4"));
}

TEST_F(UsbPortName, ASharedSerialNumberIsWarnedAboutOncePerSerial)
{
    EXPECT_TRUE(DuplicateSerialWarnings(ListSerialPorts(m_root.string())).empty());

    Adapter("ttyUSB3", "1-1.5", "0403", "6001", "A50285BI", "ftdi_sio");  // a clone's serial number
    Adapter("ttyUSB4", "1-1.6", "0403", "6010", "FT2232", "ftdi_sio");    // a dual adapter: one
    Tty("ttyUSB5", HUB + "1-1.6/1-1.6:1.1/ttyUSB5", "ftdi_sio");          // adapter, two ports
    MakeNode("ttyUSB5");
    const std::vector<std::string> warnings = DuplicateSerialWarnings(ListSerialPorts(m_root.string()));
    ASSERT_EQ(warnings.size(), 1u);
    for (const std::string& piece : {std::string("A50285BI"), Dev("ttyUSB0") + " (usb-path:1-1.2)",
                                     Dev("ttyUSB3") + " (usb-path:1-1.5)", std::string("usb-path: names instead")})
        EXPECT_TRUE(Contains(warnings[0], piece)) << piece << " not in: " << warnings[0];
    EXPECT_FALSE(Resolve("usb:A50285BI").ok);
    EXPECT_EQ(Resolve("usb-path:1-1.5").path, Dev("ttyUSB3"));
}

TEST_F(UsbPortName, TheListingShowsPasteNamesThePlaceAndTheConsole)
{
    const std::vector<SerialPortInfo> ports = ListSerialPorts(m_root.string());
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(FormatPortLine(ports[0]), Dev("ttyS0") + "  (serial8250)  (system console: not a device line)");
    EXPECT_EQ(FormatPortLine(ports[1]),
              Dev("ttyUSB0") +
                  "  USB 0403:6001  serial A50285BI  at 1-1.2  driver ftdi_sio  names usb:0403:6001:A50285BI "
                  "usb-path:1-1.2");
    EXPECT_EQ(FormatPortLine(ports[3]),
              Dev("ttyUSB2") + "  USB 1a86:7523  at 1-1.3  driver ch341-uart  names usb:1a86:7523 usb-path:1-1.3");

    EXPECT_TRUE(Contains(FormatPortJson(ports[0]), ",\"names\":[],\"system_console\":true,\"latency_timer_ms\":null,"
                                                   "\"low_latency_shortens_hold\":false}"));
    EXPECT_EQ(FormatPortJson(ports[3]),
              "{\"path\":\"" + Dev("ttyUSB2") +
                  "\",\"driver\":\"ch341-uart\",\"usb\":true,\"vendor_id\":\"1a86\","
                  "\"product_id\":\"7523\",\"manufacturer\":\"\",\"product\":\"\",\"serial\":"
                  "\"\",\"usb_path\":\"1-1.3\",\"names\":[\"usb:1a86:7523\",\"usb-path:1-1.3\"],"
                  "\"system_console\":false,\"latency_timer_ms\":null,\"low_latency_shortens_hold\":false}");
}

}  // namespace
