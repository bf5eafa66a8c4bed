// The serial-driver calls of the POSIX back end (Linux only: TIOCGSERIAL and
// TIOCSSERIAL, through which it asks for low latency on open and puts the driver's
// flags back on close), behind a table that tests can replace: a pseudo-terminal has
// no serial driver, so a test plays one that accepts or refuses the request.
#pragma once

#ifdef __linux__

#include <linux/serial.h>

// The two calls, each as the ioctl it stands for: 0 on success, -1 with errno set.
struct SerialIoctls {
    int (*getSerial)(int fd, serial_struct* settings);        // ioctl(fd, TIOCGSERIAL, settings)
    int (*setSerial)(int fd, const serial_struct* settings);  // ioctl(fd, TIOCSSERIAL, settings)
};

// The table the back end calls from now on (tests only; the real ioctls by default).
// Returns the table in use before, for the test to put back. Not while a port opens
// or closes on another thread.
SerialIoctls ReplaceSerialIoctlsForTest(const SerialIoctls& table);
// The table of the real ioctls.
SerialIoctls SystemSerialIoctls();

#endif
