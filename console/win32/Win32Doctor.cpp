// --doctor on Windows: the checks of console/WindowsPorts.h over the system's ports.
#include "console/Doctor.h"
#include "console/win32/Win32Ports.h"

int RunDoctor(const std::string& port, const std::string& root, std::FILE* out)
{
    return RunWindowsDoctor(port, ListSerialPorts(root), ProbeWindowsPort, out);
}
