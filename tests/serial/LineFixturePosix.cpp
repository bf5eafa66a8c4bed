// The engine test fixture on POSIX: a line is a pseudo-terminal pair; the engine opens
// the slave as COM<n> (mapped with SetPortDevice), the test plays the device on the
// master. The fixture keeps its own descriptor of the slave open, so the terminal
// lives on while the engine closes and reopens it.
#include "LineFixture.h"

#include "platform/PortNames.h"
#include "platform/posix/MessageLoop.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#ifdef __APPLE__
#include <util.h>  // openpty
#else
#include <pty.h>
#endif
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

class PtyLine final : public TestLine {
public:
    PtyLine(unsigned portnr, int master, int slave)
        : m_portnr(portnr),
          m_master(master),
          m_slave(slave)
    {
    }

    ~PtyLine() override
    {
        ClearPortDevice(m_portnr);
        if (m_master >= 0)
            close(m_master);
        close(m_slave);
    }

    bool PeerWrite(const std::string& data) override
    {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = write(m_master, data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd pfd{m_master, POLLOUT, 0};
                if (poll(&pfd, 1, 2000) <= 0)
                    return false;
            } else {
                return false;
            }
        }
        return true;
    }

    std::string PeerRead(std::size_t count, std::chrono::milliseconds timeout) override
    {
        std::string got;
        const auto deadline = Clock::now() + timeout;
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() < 0)
                break;
            pollfd pfd{m_master, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left.count()) + 1) <= 0)
                continue;
            char buffer[512];
            const ssize_t n = read(m_master, buffer, std::min(sizeof buffer, count - got.size()));
            if (n > 0)
                got.append(buffer, static_cast<std::size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
                break;  // EIO: the engine's side isn't open right now
        }
        return got;
    }

    std::string PeerReadAvailable() override
    {
        std::string got;
        char buffer[512];
        ssize_t n;
        while ((n = read(m_master, buffer, sizeof buffer)) > 0)
            got.append(buffer, static_cast<std::size_t>(n));
        return got;
    }

    bool WaitUntilDelivered(std::chrono::milliseconds timeout) override
    {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            int waiting = 0;
            if (ioctl(m_slave, FIONREAD, &waiting) == 0 && waiting > 0)
                return true;
            if (Clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    void PeerHangUp() override
    {
        close(m_master);
        m_master = -1;
    }

    std::string FlowControlOnLine() override
    {
        termios tio{};
        if (tcgetattr(m_slave, &tio) != 0)
            return "tcgetattr failed";
        std::string on;
        const struct {
            bool set;
            const char* name;
        } flags[] = {
            {(tio.c_iflag & IXON) != 0, "IXON"},
            {(tio.c_iflag & IXOFF) != 0, "IXOFF"},
            {(tio.c_iflag & IXANY) != 0, "IXANY"},
#ifdef CRTSCTS
            {(tio.c_cflag & CRTSCTS) != 0, "CRTSCTS"},
#endif
        };
        for (const auto& flag : flags) {
            if (flag.set)
                on += on.empty() ? flag.name : std::string(" ") + flag.name;
        }
        return on;
    }

    unsigned PortNumber() const override
    {
        return m_portnr;
    }

private:
    unsigned m_portnr;  // COM<m_portnr> opens the slave
    int m_master;       // the device's end (non-blocking); -1 after PeerHangUp
    int m_slave;        // kept open so that the terminal outlives the engine's opens
};

class LoopOwner final : public TestOwner {
public:
    LoopOwner()
        : m_window(m_loop, [this](unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
              Record({message, wParam, lParam});
              return std::intptr_t{0};
          })
    {
    }

    OwnerWindow* Window() override { return &m_window; }

    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) override
    {
        return m_loop.RunUntil(done, timeout);
    }

    void PumpFor(std::chrono::milliseconds duration) override { m_loop.RunFor(duration); }

private:
    MessageLoop m_loop;   // bound to the test's thread
    LoopWindow m_window;  // records every message
};

class ForkedHolder final : public PortHolder {
public:
    ForkedHolder(pid_t child, int release)
        : m_child(child),
          m_release(release)
    {
    }
    ~ForkedHolder() override
    {
        close(m_release);  // the child sees end of input and exits
        int status = 0;
        waitpid(m_child, &status, 0);
    }

private:
    pid_t m_child;  // the holding program
    int m_release;  // closing it lets the child go
};

}  // namespace

std::unique_ptr<TestLine> TestLine::Create(unsigned portnr, LineStart start)
{
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed: " << errno;
        return nullptr;
    }
    termios tio{};
    tcgetattr(slave, &tio);
    if (start == LineStart::Raw) {
        cfmakeraw(&tio);  // no echo or line editing even before the engine configures it
    } else {
        // A terminal as it starts, with flow control in every form the engine must
        // undo. Not IXANY: any received byte would then undo an XOFF and hide it.
        tio.c_iflag |= IXON | IXOFF | ICRNL | INLCR | ISTRIP | IMAXBEL;
        tio.c_iflag &= ~static_cast<tcflag_t>(IXANY);
        tio.c_oflag |= OPOST | ONLCR;
        tio.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
#ifdef CRTSCTS
        tio.c_cflag |= CRTSCTS;
#endif
    }
    if (tcsetattr(slave, TCSANOW, &tio) != 0) {
        ADD_FAILURE() << "tcsetattr failed: " << errno;
        close(master);
        close(slave);
        return nullptr;
    }
    // The fixture keeps the slave open from here on: a terminal that nobody holds
    // forgets its settings.
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    SetPortDevice(portnr, ttyname(slave));
    return std::make_unique<PtyLine>(portnr, master, slave);
}

void TestLine::MapMissing(unsigned portnr)
{
    SetPortDevice(portnr, "/nonexistent/suite-missing-port");
}

std::unique_ptr<TestOwner> TestOwner::Create()
{
    return std::make_unique<LoopOwner>();
}

std::unique_ptr<PortHolder> PortHolder::Hold(unsigned portnr)
{
    const auto device = PortDeviceOverride(portnr);
    if (!device) {
        ADD_FAILURE() << "COM" << portnr << " is not mapped";
        return nullptr;
    }
    int ready[2], release[2];
    if (pipe(ready) != 0 || pipe(release) != 0)
        return nullptr;
    const pid_t child = fork();
    if (child == 0) {
        // Another program: open the port and lock it as an engine would, then hold it
        // until the parent lets go. Only async-signal-safe calls here.
        close(ready[0]);
        close(release[1]);
        const int fd = open(device->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const char ok = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 1 : 0;
        (void)write(ready[1], &ok, 1);
        char byte;
        while (read(release[0], &byte, 1) > 0) {
        }
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char ok = 0;
    const bool held = child > 0 && read(ready[0], &ok, 1) == 1 && ok == 1;
    close(ready[0]);
    if (child <= 0)
        return nullptr;
    auto holder = std::make_unique<ForkedHolder>(child, release[1]);
    if (!held) {
        ADD_FAILURE() << "the holder couldn't lock " << *device;
        return nullptr;
    }
    return holder;
}
