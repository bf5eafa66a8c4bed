// Port names and port failures on Windows: COMn opens \\.\COMn (the form that reaches
// COM10 and above too), and a failure is told in the system's words.
#include "console/PortCheck.h"
#include "console/win32/Win32Ports.h"

#include <windows.h>

namespace {

// FormatMessage's text of `error`, without its line end; "error N" if it has none.
std::string SystemText(DWORD error)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (length && text)
        result.assign(text, length);
    if (text)
        LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    return result.empty() ? "error " + std::to_string(error) : result;
}

WindowsOpenResult Failed(DWORD error)
{
    WindowsOpenResult result;
    result.error = error;
    result.text = SystemText(error);
    return result;
}

}  // namespace

WindowsOpenResult ProbeWindowsPort(const std::string& device)
{
    HANDLE file = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Failed(GetLastError());
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(file, &settings)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        WindowsOpenResult result = Failed(error);
        result.noPortBehind = true;
        return result;
    }
    CloseHandle(file);
    WindowsOpenResult result;
    result.opened = true;
    return result;
}

PortTarget ResolvePortName(const std::string& name)
{
    PortTarget target;
    const unsigned number = ComPortNumber(name);
    target.device = number ? "\\\\.\\COM" + std::to_string(number) : name;
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
