// The Windows port code over the system itself: the listing finds the ports Wine maps
// (they are in the registry's SERIALCOMM map), a missing port and one that another
// program holds are told in the system's words, usb: names find no adapter where there
// is none, and --doctor says so. Runs under Wine (tests/wine/run.sh maps COM1..COM8 to
// pseudo-terminals and COM9 to a path that does not exist).
#include "console/Doctor.h"
#include "console/PortCheck.h"
#include "console/PortList.h"
#include "console/UsbPortName.h"
#include "console/WindowsPorts.h"
#include "console/win32/Win32Ports.h"
#include "platform/win32/Win32PortClaim.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool UnderRunScript()
{
    return std::getenv("SUITE_WINE_PORT_DIR") != nullptr;
}

std::string MissingPort()
{
    const char* number = std::getenv("SUITE_WINE_MISSING_PORT");
    return "COM" + std::string(number && *number ? number : "9");
}

bool Contains(const std::string& text, const std::string& piece)
{
    return text.find(piece) != std::string::npos;
}

// What RunDoctor writes, and its status.
std::pair<int, std::string> Doctor(const std::string& port)
{
    std::FILE* out = std::tmpfile();
    if (!out)
        return {-1, "no temporary file"};
    const int status = RunDoctor(port, "", out);
    std::string text(static_cast<std::size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    return {status, text};
}

TEST(Win32Ports, TheMappedPortsAreListedByComNumber)
{
    if (!UnderRunScript())
        GTEST_SKIP() << "the COM ports are mapped only under tests/wine/run.sh";
    const std::vector<SerialPortInfo> ports = ListSerialPorts("");
    std::vector<unsigned> numbers;
    for (const SerialPortInfo& port : ports)
        numbers.push_back(ComPortNumber(port.path));
    for (unsigned n = 1; n <= 8; ++n)
        EXPECT_NE(std::find(numbers.begin(), numbers.end(), n), numbers.end()) << "COM" << n << " not listed";
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    EXPECT_EQ(std::count(numbers.begin(), numbers.end(), 0u), 0);
    EXPECT_EQ(LatencyTimerMs("", "COM1"), -1);  // no FTDI adapter behind a pseudo-terminal
}

TEST(Win32Ports, MissingAndHeldPortsInTheSystemsWords)
{
    // No such name at all, and (under the script) a name whose device is missing.
    const std::string absent = PortFailureMessage("quarrow", "COM77");
    EXPECT_EQ(absent.rfind("quarrow: COM77: ", 0), 0u) << absent;
    EXPECT_TRUE(Contains(absent, ". (is the adapter plugged in? --list-ports")) << absent;
    if (!UnderRunScript())
        GTEST_SKIP() << "the COM ports are mapped only under tests/wine/run.sh";
    const std::string missing = PortFailureMessage("quarrow", MissingPort());
    EXPECT_TRUE(Contains(missing, "(is the adapter plugged in? --list-ports")) << missing;

    // Another program's claim on COM2 (taken here the way the programs take it).
    bool refused = false;
    HANDLE claim = ClaimPortByName("\\\\.\\COM2", refused);
    ASSERT_NE(claim, nullptr);
    const WindowsOpenResult held = ProbeWindowsPort("\\\\.\\COM2");
    CloseHandle(claim);
    EXPECT_FALSE(held.opened);
    EXPECT_EQ(held.error, WIN_ERROR_ACCESS_DENIED);
    EXPECT_TRUE(held.heldByAnother);
    EXPECT_TRUE(ProbeWindowsPort("\\\\.\\COM2").opened);
}

TEST(Win32Ports, DoctorAndUsbNamesOverThePortsPresent)
{
    const PortResolution none = ResolvePortName("usb:NOSUCHSERIAL", "");
    EXPECT_FALSE(none.ok);
    EXPECT_TRUE(Contains(none.error, "no USB serial adapter matches usb:NOSUCHSERIAL")) << none.error;
    const auto [status, text] = Doctor("COM77");
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(Contains(text, "port: COM77  (not among the serial ports listed)\nproblem: COM77: ")) << text;
    if (!UnderRunScript())
        GTEST_SKIP() << "the COM ports are mapped only under tests/wine/run.sh";
    const auto [good, lines] = Doctor("com3");
    EXPECT_EQ(good, 0) << lines;
    EXPECT_TRUE(Contains(lines, "ok: COM3 can be opened")) << lines;
}

}  // namespace
