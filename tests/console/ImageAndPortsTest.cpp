// Image checks, port listing and JSON text: pure code over bytes and a folder tree.
#include "console/ImageCheck.h"
#include "console/PortList.h"
#include "console/Reporter.h"
#include "SysfsTree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> Bytes(const std::string& text)
{
    return {text.begin(), text.end()};
}

TEST(ImageCheck, TextRecordsAreRecognisedAndBinaryIsNot)
{
    EXPECT_EQ(IMAGE_INTEL_HEX, DetectImageText(Bytes(":10000000000102030405060708090A0B0C0D0E0F78\r\n")));
    EXPECT_EQ(IMAGE_INTEL_HEX, DetectImageText(Bytes("\r\n  :00000001FF")));  // leading blanks, end record
    EXPECT_EQ(IMAGE_INTEL_HEX, DetectImageText(Bytes(":020000040800F2\n:1000")));
    EXPECT_EQ(IMAGE_SRECORD, DetectImageText(Bytes("S00F000068656C6C6F202020202000003C\n")));
    EXPECT_EQ(IMAGE_SRECORD, DetectImageText(Bytes("S9030000FC")));

    // Near misses are raw images: a colon in binary, too short, not hex, no type digit.
    EXPECT_EQ(IMAGE_RAW, DetectImageText(Bytes(":0000")));
    EXPECT_EQ(IMAGE_RAW, DetectImageText(Bytes(":10000000GG0102030405060708090A0B0C0D0E0F78")));
    EXPECT_EQ(IMAGE_RAW, DetectImageText(Bytes("SX0F000068656C6C6F2020")));
    EXPECT_EQ(IMAGE_RAW, DetectImageText(Bytes("Solvane firmware 1.0\n")));
    EXPECT_EQ(IMAGE_RAW, DetectImageText({}));
    EXPECT_EQ(IMAGE_RAW, DetectImageText(Bytes("\n\n\r ")));
    std::vector<std::uint8_t> binary = {':', 0x00, 0x31, 0x32, 0xFF, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70};
    EXPECT_EQ(IMAGE_RAW, DetectImageText(binary));

    EXPECT_STREQ("Intel HEX", ImageTextName(IMAGE_INTEL_HEX));
    EXPECT_STREQ("", ImageTextName(IMAGE_RAW));
}

TEST(ImageCheck, ThousandsAreGrouped)
{
    EXPECT_EQ("0", Thousands(0));
    EXPECT_EQ("999", Thousands(999));
    EXPECT_EQ("1,000", Thousands(1000));
    EXPECT_EQ("14,336", Thousands(14336));
    EXPECT_EQ("2,162,688", Thousands(2162688));
}

TEST(JsonText, StringsAreEscapedSoThatEveryLineParses)
{
    EXPECT_EQ("\"plain\"", JsonString("plain"));
    EXPECT_EQ("\"a\\\"b\\\\c\"", JsonString("a\"b\\c"));
    EXPECT_EQ("\"line\\u000aend\\u0009\"", JsonString("line\nend\t"));
    EXPECT_EQ("\"\\u007f\"", JsonString("\x7F"));
    EXPECT_EQ("\"选择\"", JsonString("选择"));  // UTF-8 passes through
}

// The listing over a copy of sysfs.
class PortListTest : public SysfsTree {};

TEST_F(PortListTest, ListsRealPortsWithTheirUsbDetailsInNaturalOrder)
{
    const std::string usb = "pci0000:00/0000:00:14.0/usb1/1-2";
    Tty("ttyUSB0", usb + "/1-2:1.0/ttyUSB0", "ftdi_sio");
    Write(m_root / "sys/devices" / usb / "1-2:1.0/ttyUSB0/latency_timer", "16");
    Write(m_root / "sys/devices" / usb / "idVendor", "0403");
    Write(m_root / "sys/devices" / usb / "idProduct", "6001");
    Write(m_root / "sys/devices" / usb / "manufacturer", "FTDI");
    Write(m_root / "sys/devices" / usb / "product", "FT232R USB UART");
    Write(m_root / "sys/devices" / usb / "serial", "A50285BI");
    Tty("ttyACM0", "pci0000:00/usb2/2-1/2-1:1.0/tty/ttyACM0", "cdc_acm");
    Write(m_root / "sys/devices/pci0000:00/usb2/2-1/idVendor", "2341");
    Write(m_root / "sys/devices/pci0000:00/usb2/2-1/idProduct", "0043");
    // 8250 ports: a UART answered on ttyS0 and ttyS10, ttyS2 is a placeholder.
    for (const char* name : {"ttyS0", "ttyS2", "ttyS10"}) {
        Tty(name, std::string("platform/serial8250/tty/") + name, "serial8250");
        Write(m_root / "sys/class/tty" / name / "type", std::string(name) == "ttyS2" ? "0" : "4");
    }
    fs::create_directories(m_root / "sys/class/tty/tty0");  // a virtual console: no device

    const std::vector<SerialPortInfo> ports = ListSerialPorts(m_root.string());
    std::vector<std::string> paths;
    for (const auto& port : ports)
        paths.push_back(port.path);
    const std::string dev = (m_root / "dev").string() + "/";
    EXPECT_EQ(paths, (std::vector<std::string>{dev + "ttyACM0", dev + "ttyS0", dev + "ttyS10", dev + "ttyUSB0"}));

    ASSERT_EQ(ports.size(), 4u);
    EXPECT_TRUE(ports[3].usb);
    EXPECT_EQ(ports[3].driver, "ftdi_sio");
    EXPECT_EQ(FormatPortLine(ports[3]),
              dev + "ttyUSB0  USB 0403:6001  FTDI FT232R USB UART  serial A50285BI  at 1-2  "
                    "driver ftdi_sio  latency 16 ms (1 ms while a tool has it open: low latency)  names "
                    "usb:0403:6001:A50285BI "
                    "usb-path:1-2");
    EXPECT_EQ(ports[3].latencyTimerMs, 16);
    EXPECT_EQ(FormatPortLine(ports[0]), dev + "ttyACM0  USB 2341:0043  at 2-1  driver cdc_acm  names usb:2341:0043 "
                                              "usb-path:2-1");
    EXPECT_FALSE(ports[1].usb);
    EXPECT_EQ(FormatPortLine(ports[1]), dev + "ttyS0  (serial8250)");
    EXPECT_EQ(FormatPortJson(ports[1]), "{\"path\":\"" + dev +
                                            "ttyS0\",\"driver\":\"serial8250\",\"usb\":false,\"names\":[],"
                                            "\"system_console\":false,\"latency_timer_ms\":null,"
                                            "\"low_latency_shortens_hold\":false}");
}

TEST_F(PortListTest, WithoutSysfsTheCallOutDevicesAreListed)
{
    for (const char* name : {"cu.usbserial-A50285BI", "cu.Bluetooth-Incoming-Port", "tty.usbserial-A50285BI", "null"})
        std::ofstream(m_root / "dev" / name) << "";
    const std::vector<SerialPortInfo> ports = ListSerialPorts(m_root.string());
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(fs::path(ports[0].path).filename(), "cu.Bluetooth-Incoming-Port");
    EXPECT_FALSE(ports[0].usb);
    EXPECT_TRUE(ports[1].usb);
    EXPECT_TRUE(ListSerialPorts((m_root / "nothing").string()).empty());
}

}  // namespace
