// The device's end of the line on POSIX: a new pseudo-terminal, or a serial device.
// Only opening and closing; SimDevice does the reading and writing.
#pragma once

#include <string>

namespace sim {

struct PosixLine {
    int fd = -1;       // read and written by the device (pty master, or the serial device)
    int slaveFd = -1;  // pty only: held open until the tool has spoken, see SimDevice
    std::string path;  // what the tool opens
    bool isPty = false;

    PosixLine() = default;
    PosixLine(const PosixLine&) = delete;
    PosixLine& operator=(const PosixLine&) = delete;
    ~PosixLine() { Close(); }

    // A new pseudo-terminal in raw mode (no echo, no line editing, 8 bits), its master
    // non-blocking. The slave is kept open: a pty whose slave has never been opened,
    // or whose every opener has closed it, loses its terminal settings.
    bool OpenPty(std::string& error);
    // Pty only: opens and holds the slave again, in raw mode, after the device had let
    // go of it for the tool (for the next board on the same line). Does nothing while
    // the slave is held.
    bool HoldSlave(std::string& error);
    // A serial device at `baud`, 8N1, raw, no flow control, RTS raised.
    bool OpenSerial(const std::string& device, unsigned baud, std::string& error);
    void CloseSlave();
    void Close();
};

}  // namespace sim
