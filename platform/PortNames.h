// Which device a port number opens. The engine names ports "COMn"; a back end
// resolves that name to a device:
//   1. an override set with SetPortDevice (console front ends take a device path on
//      their command line; engine tests map COMn to a pseudo-terminal);
//   2. POSIX only: the environment variable SUITE_COM<n> (for example
//      SUITE_COM3=/dev/ttyUSB0);
//   3. the default: POSIX /dev/ttyS<n-1>; Win32 \\.\COMn.
// Common code (PortNames.cpp); thread-safe.
#pragma once

#include <optional>
#include <string>

// Makes COM<portnr> open `device` from now on (a device path on POSIX, a device name
// such as \\.\COM12 on Win32).
void SetPortDevice(unsigned portnr, const std::string& device);
// Removes the override of COM<portnr>; the default mapping applies again.
void ClearPortDevice(unsigned portnr);
// The override of COM<portnr>, if one is set.
std::optional<std::string> PortDeviceOverride(unsigned portnr);
// Parses "COMn" (case-insensitive, n >= 1); 0 when `name` is not of that form.
unsigned ParseComName(const char* name);
