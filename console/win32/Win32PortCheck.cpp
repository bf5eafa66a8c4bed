#include "console/PortCheck.h"
#include "console/System.h"

#include "platform/PortNames.h"
#include "platform/win32/Win32PortClaim.h"

#include <windows.h>

PortTarget ResolvePortName(const std::string& name)
{
    PortTarget target;
    const unsigned portnr = ParseComName(name.c_str());
    target.device = portnr != 0 ? "\\\\.\\COM" + std::to_string(portnr) : name;
    return target;
}

std::string DescribeOpenFailure(const std::string& device)
{
    const HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
    DWORD error = ERROR_SUCCESS;
    if (port != INVALID_HANDLE_VALUE) {
        // A name mapped to a device that is gone opens, but isn't a port (Wine).
        DCB probe{};
        probe.DCBlength = sizeof probe;
        const bool isPort = GetCommState(port, &probe) != 0;
        CloseHandle(port);
        if (!isPort)
            error = ERROR_FILE_NOT_FOUND;
        else if (PortClaimedByAnother(device))
            error = ERROR_ACCESS_DENIED;
        else
            return "the serial port could not be set up";
    } else {
        error = GetLastError();
    }
    std::string text = SystemErrorText(error);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        text += " (is the adapter plugged in? --list-ports lists the serial ports present)";
    else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
        text += " (another program has the port open: close it, or choose another port)";
    return text;
}

std::string PortFailureMessage(const std::string& program, const std::string& name)
{
    return program + ": " + name + ": " + DescribeOpenFailure(ResolvePortName(name).device);
}

int PrintDoctor(const std::string& port)
{
    (void)port;
    std::puts("skipped: --doctor checks a Linux system's serial ports");
    return 0;
}
