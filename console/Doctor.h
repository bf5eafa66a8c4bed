// --doctor: what stands between this user and a serial port on Linux, one line a check,
// each either "ok: ..." or what is wrong and the command that puts it right:
//   1. the device node exists and this user may read and write it (and, when the user
//      was added to the port's group but this login predates it, says so);
//   2. no other process has the port open;
//   3. ModemManager, if it runs, ignores the adapter (it probes new ttys and corrupts
//      the first bytes of a run);
//   4. brltty, if installed, has no udev rule that claims the adapter's USB ids;
//   5. an FTDI adapter's latency timer is 1 or 2 ms.
// Everything is read from files (sysfs, /dev, /proc, /etc/group, the udev database and
// rules), so a test can point the checks at a folder of its own.
//
// On Windows (console/win32, its checks in console/WindowsPorts.h): the port exists, no
// other program holds it and it may be opened, and an FTDI adapter's latency timer.
// PrintDoctor and the latency line are common code (Doctor.cpp); the checks are each
// platform's (console/posix/PosixDoctor.cpp, console/win32/Win32Doctor.cpp).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/types.h>

// Who asks: the process's effective user and groups, and its own PID (a process does
// not count as holding the port against itself).
struct DoctorIdentity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // the supplementary groups of this login
    std::string userName;       // for the commands shown: "usermod -aG dialout NAME"
    pid_t pid = 0;              // 0: no process is skipped
};

// This process: geteuid, getegid, getgroups, its user's name, getpid.
DoctorIdentity ProcessIdentity();
#endif

// Checks `port` (a path, COMn, usb:... or usb-path:...; empty: every serial port present,
// USB adapters first) under `root` ("" for the system itself; else a folder holding sys/,
// dev/, proc/, etc/, run/, usr/), writing one line a check to `out`. Under a root a port
// path in /dev/ means the one in ROOT/dev/. Returns 0 when every check passed, 1 when
// anything needs the user (also when the port is missing or there are no ports at all).
// Windows: the system's ports, `root` unused.
#ifndef _WIN32
int RunDoctor(const std::string& port, const std::string& root, std::FILE* out, const DoctorIdentity& identity);
#endif
int RunDoctor(const std::string& port, const std::string& root, std::FILE* out);

// The latency timer check's line for `device` whose timer is `ms`: "ok: latency timer 1
// ms", or above 2 ms a warning of what it costs a whole Quarrow write, with `fix`.
std::string DoctorLatencyLine(const std::string& device, long ms, const std::string& fix);

// --doctor as the programs run it: under SUITE_SYSTEM_ROOT (unset: the system itself),
// on standard output. Returns the exit status, as RunDoctor.
int PrintDoctor(const std::string& port);
