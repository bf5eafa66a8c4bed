// A serial port's claim among the suite's programs.
//
// Windows opens a serial port for one program at a time and refuses the others with
// ERROR_ACCESS_DENIED. Wine, which serves ports from Linux devices, lets two programs
// open one port, and both would then read each other's replies. Every program of the
// suite therefore also claims the port, by a named mutex, while it holds it: a second
// one sees the claim and is refused as Windows refuses it.
#pragma once

#include <windows.h>

#include <string>

// Claims `device` ("\\.\COM2" or "COM2"; case is ignored). Returns the claim to close
// with the port; null and `refused` (ERROR_ACCESS_DENIED set as the last error) when
// another program holds it. A claim that can't be made at all (no named objects in
// this session) returns null without `refused`: the port is not refused for that.
HANDLE ClaimPortByName(const std::string& device, bool& refused);

// Another program of the suite holds `device` now.
bool PortClaimedByAnother(const std::string& device);
