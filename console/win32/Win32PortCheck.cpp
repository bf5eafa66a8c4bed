// Port names and port failures on Windows: COMn opens \\.\COMn (the form that reaches
// COM10 and above too), and a failure is told in the system's words.
#include "console/PortCheck.h"
#include "console/System.h"
#include "console/win32/Win32Ports.h"

#include "platform/PortNames.h"
#include "platform/win32/Win32PortClaim.h"

#include <windows.h>

namespace {

WindowsOpenResult Failed(DWORD error)
{
    WindowsOpenResult result;
    result.error = error;
    result.text = SystemErrorText(error);
    return result;
}

}  // namespace

WindowsOpenResult ProbeWindowsPort(const std::string& device)
{
    HANDLE file = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Failed(GetLastError());
    // A name mapped to a device that is gone opens, but isn't a port (Wine): as on
    // Windows, where such a name does not open, the port is not there.
    DCB settings{};
    settings.DCBlength = sizeof settings;
    const bool isPort = GetCommState(file, &settings) != 0;
    CloseHandle(file);
    if (!isPort)
        return Failed(ERROR_FILE_NOT_FOUND);
    // Wine lets a second program open a port; the suite's programs claim theirs.
    if (PortClaimedByAnother(device)) {
        WindowsOpenResult result = Failed(ERROR_ACCESS_DENIED);
        result.heldByAnother = true;
        return result;
    }
    WindowsOpenResult result;
    result.opened = true;
    return result;
}

PortTarget ResolvePortName(const std::string& name)
{
    PortTarget target;
    const unsigned portnr = ParseComName(name.c_str());
    target.device = portnr != 0 ? "\\\\.\\COM" + std::to_string(portnr) : name;
    return target;
}

std::string DescribeOpenFailure(const std::string& device)
{
    const WindowsOpenResult result = ProbeWindowsPort(device);
    if (result.opened)
        return "the serial port could not be set up";
    return DescribeWindowsOpenError(result);
}

std::string PortFailureMessage(const std::string& program, const std::string& name)
{
    return program + ": " + name + ": " + DescribeOpenFailure(ResolvePortName(name).device);
}
