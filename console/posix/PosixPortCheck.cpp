#include "console/PortCheck.h"

#include "platform/PortNames.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

PortTarget ResolvePortName(const std::string& name)
{
    PortTarget target;
    const unsigned portnr = ParseComName(name.c_str());
    if (portnr == 0) {
        target.device = name;
        return target;
    }
    const std::string variable = "SUITE_COM" + std::to_string(portnr);
    const char* value = std::getenv(variable.c_str());
    const std::string com = "COM" + std::to_string(portnr);
    if (value && *value) {
        target.device = value;
        target.origin = target.device + ", from $" + variable;
    } else {
        target.device = "/dev/ttyS" + std::to_string(portnr - 1);
        target.origin = target.device + ", the default for " + com + "; set " + variable + " to choose another device";
    }
    return target;
}

std::string DescribeOpenFailure(const std::string& device)
{
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0) {
        const int error = errno;
        std::string text = std::strerror(error);
        if (error == ENOENT)
            text += " (is the adapter plugged in? --list-ports lists the serial ports present)";
        return text;
    }
    if (!S_ISCHR(info.st_mode))
        return "not a serial port";

    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EBUSY)
            return "in use by another program";
        std::string text = std::strerror(error);
        if (error == EACCES || error == EPERM) {
            const struct group* owner = ::getgrgid(info.st_gid);
            if (owner && info.st_gid != 0)
                text += std::string(" (the port belongs to group ") + owner->gr_name +
                        ": add yourself with 'sudo usermod -aG " + owner->gr_name + " $USER', then log in again)";
            else
                text += " (ask for read and write access to the port)";
        }
        return text;
    }
    std::string reason;
    if (!::isatty(fd))
        reason = "not a serial port";
    else if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        reason = errno == EWOULDBLOCK ? "in use by another program" : std::strerror(errno);
    else
        reason = "the serial port could not be set up";
    ::close(fd);
    return reason;
}

std::string PortFailureMessage(const std::string& program, const std::string& name)
{
    const PortTarget target = ResolvePortName(name);
    std::string where = target.device;
    if (!target.origin.empty())
        where = name + " (" + target.origin + ")";
    return program + ": " + where + ": " + DescribeOpenFailure(target.device);
}
