// A failed call on a port, as the engine hands it to whoever reports it: the Windows
// programs show it in the "Application Error" box, the console tools print one line
// from it. Taken down on the thread whose call failed, at once, so nobody needs to
// read the system's last error again later.
#pragma once

#include "platform/SerialTypes.h"

#include <cstdint>
#include <string>

struct PortFailureReport {
    const char* call = nullptr;                 // the failed call, as the box names it ("WriteFile()")
    std::uint32_t code = 0;                     // the system's error code (GetLastError; errno on POSIX)
    std::string text;                           // the system's text for `code`
    PortFailure kind = PortFailure::Transient;  // what it says about the device behind the port
    unsigned portNumber = 0;                    // the n of COMn
    bool givenUp = false;                       // the monitor gave the port up with this failure
};

// The box text: "WARNING:  <call> Failed with the following error: \n<text>\nPort: <n>\n",
// cut to the box's 200-byte buffer (199 characters).
std::string PortFailureBoxText(const PortFailureReport& failure);

// Receives the failures of one port. The monitor thread calls it for the first failure
// of a row and for the one that gives the port up; OpenPort (the owner's thread) for a
// configuration step that failed; ReportPortError on the thread that calls it. Never
// called with the port lock held.
class PortFailureReporter {
public:
    virtual void ReportPortFailure(const PortFailureReport& failure) = 0;

protected:
    ~PortFailureReporter() = default;
};
