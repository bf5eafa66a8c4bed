#include "sim/PosixLine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

std::string Failed(const char* what, const std::string& name)
{
    return std::string(what) + " " + name + ": " + std::strerror(errno);
}

void MakeRaw(termios& tio)
{
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

bool SpeedOf(unsigned baud, speed_t& speed)
{
    switch (baud) {
    case 1200:
        speed = B1200;
        return true;
    case 2400:
        speed = B2400;
        return true;
    case 4800:
        speed = B4800;
        return true;
    case 9600:
        speed = B9600;
        return true;
    case 19200:
        speed = B19200;
        return true;
    case 38400:
        speed = B38400;
        return true;
    case 57600:
        speed = B57600;
        return true;
    case 115200:
        speed = B115200;
        return true;
    case 230400:
        speed = B230400;
        return true;
    default:
        return false;
    }
}

}  // namespace

bool PosixLine::OpenPty(std::string& error)
{
    Close();
    fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0) {
        error = Failed("cannot open", "a pseudo-terminal");
        return false;
    }
    char name[128];
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
        error = Failed("cannot set up", "the pseudo-terminal");
        Close();
        return false;
    }
    path = name;
    isPty = true;
    if (!HoldSlave(error)) {
        Close();
        return false;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return true;
}

bool PosixLine::HoldSlave(std::string& error)
{
    if (!isPty || fd < 0) {
        error = "no pseudo-terminal to hold";
        return false;
    }
    if (slaveFd >= 0)
        return true;
    slaveFd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (slaveFd < 0 || tcgetattr(slaveFd, &tio) != 0) {
        error = Failed("cannot open", path);
        CloseSlave();
        return false;
    }
    MakeRaw(tio);
    cfsetspeed(&tio, B115200);
    if (tcsetattr(slaveFd, TCSANOW, &tio) != 0) {
        error = Failed("cannot set raw mode on", path);
        CloseSlave();
        return false;
    }
    return true;
}

bool PosixLine::OpenSerial(const std::string& device, unsigned baud, std::string& error)
{
    Close();
    speed_t speed{};
    if (!SpeedOf(baud, speed)) {
        error = "unsupported baud rate " + std::to_string(baud) + " for " + device;
        return false;
    }
    fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = Failed("cannot open", device);
        return false;
    }
    path = device;
    isPty = false;
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        error = Failed("not a serial device:", device);
        Close();
        return false;
    }
    MakeRaw(tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = Failed("cannot configure", device);
        Close();
        return false;
    }
    int rts = TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &rts);  // Ignore failure: not every adapter has RTS.
    tcflush(fd, TCIOFLUSH);
    return true;
}

void PosixLine::CloseSlave()
{
    if (slaveFd >= 0) {
        close(slaveFd);
        slaveFd = -1;
    }
}

void PosixLine::Close()
{
    CloseSlave();
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace sim
