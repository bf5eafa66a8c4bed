// What the Windows port code asks the system, shared by its files (console/win32).
#pragma once

#include "console/WindowsPorts.h"

#include <string>

// Opens `device` ("\\.\COM5") as the serial back end does (exclusively, overlapped) and
// asks it for its line settings, the call that fails when Wine's mapping of the port
// leads nowhere; closes it again. On failure the error and FormatMessage's text of it.
WindowsOpenResult ProbeWindowsPort(const std::string& device);
