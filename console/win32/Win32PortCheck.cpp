#include "console/PortCheck.h"
#include "console/System.h"

#include "platform/PortNames.h"

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
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
        return "the serial port could not be set up";
    }
    const DWORD error = GetLastError();
    std::string text = SystemErrorText(error);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        text += " (is the adapter plugged in? --list-ports lists the serial ports present)";
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
