// The POSIX back end of the serial engine: termios ports opened exclusively (flock
// and TIOCEXCL), poll for the three-way wait, events made of pipes.
//
// The comm-event wait: StartCommWait arms the port's event; WaitForEvents polls the
// armed port together with the events, and when the port has input (or hung up) it
// writes SERIAL_EV_RXCHAR into the event word and sets the event. Termios has no
// driver-side event character, so ReadPort looks for it in the bytes it returns and
// adds SERIAL_EV_RXFLAG to the armed event word: the engine reads the word again
// after its drain and so notifies the event character once, after the bytes of that
// wake. A line that hung up reports one byte waiting, so that the read that follows
// fails and the engine learns of it.
//
// Flow control: none, whatever the port held before it was opened. A fresh terminal
// starts with XON/XOFF on, and a port another program used may keep hardware flow
// control; building the line state from a settings text turns both off (as Win32's
// BuildCommDCBA does), and applying it clears every flow-control and input-mapping
// flag that the line state doesn't ask for.
//
// A port is left as it was found: its termios settings are saved when it is opened and
// put back when it is closed (after the output still queued has gone out, or, on a
// line that no longer sends, has been discarded), so that a terminal someone uses is
// not left raw and without echo. On Linux the open also asks the driver for low
// latency (platform/LowLatency.h) and the close clears the flag again if the open set
// it.
#include "platform/LineSettings.h"
#include "platform/SerialBackend.h"

#include "platform/LowLatency.h"
#include "platform/PortNames.h"
#include "platform/posix/PosixSerialIoctls.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#ifdef __linux__
namespace {

// The real driver calls, and the table the back end goes through (a test may replace it).
int SystemGetSerial(int fd, serial_struct* settings)
{
    return ioctl(fd, TIOCGSERIAL, settings);
}

int SystemSetSerial(int fd, const serial_struct* settings)
{
    return ioctl(fd, TIOCSSERIAL, settings);
}

std::mutex g_ioctlsLock;
SerialIoctls g_ioctls{SystemGetSerial, SystemSetSerial};  // guarded by g_ioctlsLock

SerialIoctls CurrentIoctls()
{
    std::lock_guard<std::mutex> lock(g_ioctlsLock);
    return g_ioctls;
}

}  // namespace

SerialIoctls SystemSerialIoctls()
{
    return {SystemGetSerial, SystemSetSerial};
}

SerialIoctls ReplaceSerialIoctlsForTest(const SerialIoctls& table)
{
    std::lock_guard<std::mutex> lock(g_ioctlsLock);
    const SerialIoctls previous = g_ioctls;
    g_ioctls = table;
    return previous;
}
#endif

namespace {

// The calling thread's last recorded error (an errno value).
thread_local int t_lastError = 0;

// Records `error` as the thread's last error and returns false, for `return Fail(e);`.
bool Fail(int error)
{
    t_lastError = error;
    return false;
}

struct PosixPort;

// An unnamed manual-reset event: a flag, mirrored by a pipe that holds one byte while
// the flag is set, so that poll can wait for it.
struct PosixEvent {
    std::mutex lock;                     // guards every field below
    bool set = false;                    // the event's state
    int readFd = -1;                     // readable while set
    int writeFd = -1;                    // gets one byte when the event is set
    PosixPort* armedPort = nullptr;      // the port of a pending comm wait, if any
    std::uint32_t* armedWord = nullptr;  // that wait's event word
};

// An open port.
struct PosixPort {
    int fd = -1;                                          // the open device
    std::uint32_t eventMask = 0;                          // the comm-event mask (SERIAL_EV_*)
    char eventChar = 0;                                   // the event character of the line state
    std::uint8_t rtsControl = SERIAL_RTS_CONTROL_ENABLE;  // RTS use of the line state
    std::uint8_t dtrControl = SERIAL_DTR_CONTROL_ENABLE;  // DTR use of the line state
    CommTimeouts timeouts;                                // the write timeout is applied by WritePort
    bool hungUp = false;                                  // poll reported a hang-up: reads must fail
    std::uint32_t* eventWord = nullptr;                   // the word of the last comm wait (monitor thread)
    PosixEvent* armedEvent = nullptr;                     // the event of a pending comm wait, if any
    termios found{};                                      // the settings the port had when opened
    bool foundValid = false;                              // `found` was read: put it back on close
    bool clearLowLatency = false;                         // the open set low latency: clear it on close
};

PosixPort* AsPort(PortHandle handle)
{
    if (handle == nullptr || handle == SerialInvalidHandle())
        return nullptr;
    return static_cast<PosixPort*>(handle);
}

PosixEvent* AsEvent(EventHandle handle)
{
    return static_cast<PosixEvent*>(handle);
}

bool SetNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// The device that a port name opens: "COMn" through the overrides, SUITE_COM<n> and
// /dev/ttyS<n-1>; any other name is taken as a device path.
std::string ResolveDevice(const char* name)
{
    const unsigned n = ParseComName(name);
    if (n == 0)
        return name;
    if (auto device = PortDeviceOverride(n))
        return *device;
    const std::string variable = "SUITE_COM" + std::to_string(n);
    if (const char* fromEnvironment = std::getenv(variable.c_str()); fromEnvironment && *fromEnvironment)
        return fromEnvironment;
    return "/dev/ttyS" + std::to_string(n - 1);
}

struct BaudEntry {
    std::uint32_t baud;
    speed_t speed;
};
constexpr BaudEntry BAUD_RATES[] = {
    {50, B50},         {75, B75},       {110, B110},     {134, B134},     {150, B150},       {200, B200},
    {300, B300},       {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool SpeedOf(std::uint32_t baud, speed_t& speed)
{
    for (const BaudEntry& entry : BAUD_RATES) {
        if (entry.baud == baud) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

std::uint32_t BaudOf(speed_t speed)
{
    for (const BaudEntry& entry : BAUD_RATES) {
        if (entry.speed == speed)
            return entry.baud;
    }
    return 0;
}

// Raises or lowers one modem line. Pseudo-terminals refuse modem-line ioctls; that
// refusal is ignored, as is any other (the line works without RTS/DTR).
void SetModemLine(int fd, int line, bool raise)
{
    (void)ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &line);  // ignore ENOTTY/EINVAL (ptys)
}

// Asks the driver of `port` for low latency, as LowLatencyRequested() says, and notes
// in the port whether the close must clear the flag again. Any refusal leaves the port
// as it was; it is reported, never treated as a failure.
LowLatencyState RequestLowLatency(PosixPort& port)
{
#ifdef __linux__
    if (!LowLatencyRequested())
        return LowLatencyState::Off;
    const SerialIoctls calls = CurrentIoctls();
    serial_struct settings{};
    if (calls.getSerial(port.fd, &settings) != 0)
        return LowLatencyState::Unsupported;  // ENOTTY/EINVAL: no serial driver (a pseudo-terminal)
    if (settings.flags & ASYNC_LOW_LATENCY)
        return LowLatencyState::Set;  // on already: nothing to put back
    settings.flags |= ASYNC_LOW_LATENCY;
    if (calls.setSerial(port.fd, &settings) != 0)
        return LowLatencyState::Refused;
    // Some drivers take the call and drop the flag: only a flag that stuck counts.
    serial_struct after{};
    if (calls.getSerial(port.fd, &after) == 0 && !(after.flags & ASYNC_LOW_LATENCY))
        return LowLatencyState::Refused;
    port.clearLowLatency = true;
    return LowLatencyState::Set;
#else
    (void)port;
    return LowLatencyState::NotApplicable;
#endif
}

// Clears the low-latency flag that RequestLowLatency set on `port`, keeping whatever
// else the driver's settings hold now.
void ClearLowLatency(PosixPort& port)
{
#ifdef __linux__
    if (!port.clearLowLatency)
        return;
    port.clearLowLatency = false;
    const SerialIoctls calls = CurrentIoctls();
    serial_struct settings{};
    if (calls.getSerial(port.fd, &settings) != 0 || !(settings.flags & ASYNC_LOW_LATENCY))
        return;
    settings.flags &= ~static_cast<int>(ASYNC_LOW_LATENCY);
    (void)calls.setSerial(port.fd, &settings);  // a port that went away keeps nothing anyway
#else
    (void)port;
#endif
}

// Closing: how long the output queue may go without getting shorter before the line
// counts as not sending (a wedged line, a device holding it), and how often it is looked at.
constexpr int CLOSE_DRAIN_STALL_MS = 200;
constexpr int CLOSE_DRAIN_POLL_MS = 2;
// The transmitter's own buffer, which the driver's count leaves out: the bytes the
// close lets go out at the line's rate before the settings change (a 16550A holds 16,
// USB adapters commonly up to 64 or more).
constexpr std::uint32_t TRANSMIT_FIFO_BYTES = 64;

// Lets the output still queued on `fd` go out at the line's current settings, for as
// long as the queue keeps getting shorter; whatever is left then is discarded. Never
// blocks for ever, unlike tcdrain on a line that stopped sending.
void DrainOutputBounded(int fd)
{
    using Clock = std::chrono::steady_clock;
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
        return;  // nothing queued (or no count to go by)
    int last = queued;
    auto progress = Clock::now();
    while (queued > 0) {
        if (Clock::now() - progress > std::chrono::milliseconds(CLOSE_DRAIN_STALL_MS)) {
            (void)tcflush(fd, TCOFLUSH);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(CLOSE_DRAIN_POLL_MS));
        if (ioctl(fd, TIOCOUTQ, &queued) != 0)
            break;
        if (queued < last) {
            last = queued;
            progress = Clock::now();
        }
    }
    // The queue is empty; its last bytes may still be in the transmitter.
    termios tio{};
    const std::uint32_t baud = tcgetattr(fd, &tio) == 0 ? BaudOf(cfgetospeed(&tio)) : 0;
    if (baud != 0)
        std::this_thread::sleep_for(std::chrono::microseconds(TRANSMIT_FIFO_BYTES * 10u * 1000000u / baud + 1));
}

// How long a write that makes no progress, although the port polls writable, pauses
// before it tries again.
constexpr int STALLED_WRITE_PAUSE_MS = 10;

// Whether `event` is set now.
bool IsSet(PosixEvent* event)
{
    std::lock_guard<std::mutex> lock(event->lock);
    return event->set;
}

void Disarm(PosixEvent* event)
{
    if (event->armedPort)
        event->armedPort->armedEvent = nullptr;
    event->armedPort = nullptr;
    event->armedWord = nullptr;
}

void SetLocked(PosixEvent* event)
{
    if (!event->set) {
        event->set = true;
        const char one = 1;
        (void)write(event->writeFd, &one, 1);  // a pipe with room for it: can't fail
    }
}

class PosixSerialBackend final : public SerialBackend {
public:
    EventHandle NewEvent() override
    {
        int fds[2];
        if (pipe(fds) != 0) {
            Fail(errno);
            return nullptr;
        }
        if (!SetNonBlocking(fds[0]) || !SetNonBlocking(fds[1])) {
            Fail(errno);
            close(fds[0]);
            close(fds[1]);
            return nullptr;
        }
        auto* event = new PosixEvent;
        event->readFd = fds[0];
        event->writeFd = fds[1];
        return event;
    }

    void SignalEvent(EventHandle handle) override
    {
        PosixEvent* event = AsEvent(handle);
        std::lock_guard<std::mutex> lock(event->lock);
        SetLocked(event);
    }

    void ClearEvent(EventHandle handle) override
    {
        PosixEvent* event = AsEvent(handle);
        std::lock_guard<std::mutex> lock(event->lock);
        if (event->set) {
            event->set = false;
            char drain[16];
            while (read(event->readFd, drain, sizeof drain) > 0) {
            }
        }
    }

    void DeleteEvent(EventHandle handle) override
    {
        PosixEvent* event = AsEvent(handle);
        {
            std::lock_guard<std::mutex> lock(event->lock);
            Disarm(event);
        }
        close(event->readFd);
        close(event->writeFd);
        delete event;
    }

    PortHandle OpenPort(const char* name) override
    {
        const std::string device = ResolveDevice(name);
        const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            Fail(errno);
            return SerialInvalidHandle();
        }
        // Exclusive: flock keeps out other programs that lock (and our own second
        // open), TIOCEXCL keeps out every other open of the terminal.
        int error = 0;
        if (!isatty(fd))
            error = ENOTTY;
        else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
            error = errno == EWOULDBLOCK ? EBUSY : errno;
        else if (ioctl(fd, TIOCEXCL) != 0)
            error = errno;
        if (error != 0) {
            close(fd);
            Fail(error);
            return SerialInvalidHandle();
        }
        auto* port = new PosixPort;
        port->fd = fd;
        port->foundValid = tcgetattr(fd, &port->found) == 0;
        RecordLowLatency(device, RequestLowLatency(*port));
        return port;
    }

    bool SetTimeouts(PortHandle handle, const CommTimeouts& timeouts) override
    {
        PosixPort* port = AsPort(handle);
        if (!port)
            return Fail(EBADF);
        port->timeouts = timeouts;
        return true;
    }

    bool SetEventMask(PortHandle handle, std::uint32_t mask) override
    {
        PosixPort* port = AsPort(handle);
        if (!port)
            return Fail(EBADF);
        port->eventMask = mask;
        return true;
    }

    bool GetLineState(PortHandle handle, LineState& state) override
    {
        PosixPort* port = AsPort(handle);
        if (!port)
            return Fail(EBADF);
        termios tio{};
        if (tcgetattr(port->fd, &tio) != 0)
            return Fail(errno);
        state = LineState();
        state.BaudRate = BaudOf(cfgetospeed(&tio));
        switch (tio.c_cflag & CSIZE) {
        case CS5:
            state.ByteSize = 5;
            break;
        case CS6:
            state.ByteSize = 6;
            break;
        case CS7:
            state.ByteSize = 7;
            break;
        default:
            state.ByteSize = 8;
            break;
        }
        if (!(tio.c_cflag & PARENB))
            state.Parity = SERIAL_NOPARITY;
#ifdef CMSPAR
        else if (tio.c_cflag & CMSPAR)
            state.Parity = (tio.c_cflag & PARODD) ? SERIAL_MARKPARITY : SERIAL_SPACEPARITY;
#endif
        else
            state.Parity = (tio.c_cflag & PARODD) ? SERIAL_ODDPARITY : SERIAL_EVENPARITY;
        state.StopBits = (tio.c_cflag & CSTOPB) ? SERIAL_TWOSTOPBITS : SERIAL_ONESTOPBIT;
        state.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
#ifdef CRTSCTS
        state.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
#endif
        state.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
        state.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
        state.XonChar = static_cast<char>(tio.c_cc[VSTART]);
        state.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
        state.fRtsControl = port->rtsControl;
        state.fDtrControl = port->dtrControl;
        state.EvtChar = port->eventChar;
        return true;
    }

    bool BuildLineState(const char* settings, LineState& state) override
    {
        return ParseLineSettings(settings, state) || Fail(EINVAL);
    }

    bool SetLineState(PortHandle handle, const LineState& state) override
    {
        PosixPort* port = AsPort(handle);
        if (!port)
            return Fail(EBADF);
        speed_t speed;
        if (!SpeedOf(state.BaudRate, speed))
            return Fail(EINVAL);
        termios tio{};
        if (tcgetattr(port->fd, &tio) != 0)
            return Fail(errno);
        cfmakeraw(&tio);
        // Raw also in what cfmakeraw leaves: no XON/XOFF in either direction, no
        // restart on any byte, no case or character mapping, no bell on a full buffer.
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IMAXBEL
#ifdef IUCLC
                                              | IUCLC
#endif
        );
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CMSPAR
        tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
        switch (state.ByteSize) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        case 8:
            tio.c_cflag |= CS8;
            break;
        default:
            return Fail(EINVAL);
        }
        switch (state.Parity) {
        case SERIAL_NOPARITY:
            break;
        case SERIAL_ODDPARITY:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case SERIAL_EVENPARITY:
            tio.c_cflag |= PARENB;
            break;
#ifdef CMSPAR
        case SERIAL_MARKPARITY:
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case SERIAL_SPACEPARITY:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
#endif
        default:
            return Fail(EINVAL);
        }
        if (state.StopBits == SERIAL_TWOSTOPBITS)
            tio.c_cflag |= CSTOPB;
        else if (state.StopBits != SERIAL_ONESTOPBIT)
            return Fail(EINVAL);  // 1.5 stop bits: termios has none
        if (state.fParity)
            tio.c_iflag |= INPCK;
#ifdef CRTSCTS
        if (state.fOutxCtsFlow || state.fRtsControl == SERIAL_RTS_CONTROL_HANDSHAKE)
            tio.c_cflag |= CRTSCTS;
        else
            tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
        if (state.fOutX)
            tio.c_iflag |= IXON;
        if (state.fInX)
            tio.c_iflag |= IXOFF;
        if (state.fOutX || state.fInX) {
            tio.c_cc[VSTART] = static_cast<cc_t>(state.XonChar);
            tio.c_cc[VSTOP] = static_cast<cc_t>(state.XoffChar);
        }
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
            return Fail(errno);
        if (tcsetattr(port->fd, TCSANOW, &tio) != 0)
            return Fail(errno);
        SetModemLine(port->fd, TIOCM_RTS, state.fRtsControl != SERIAL_RTS_CONTROL_DISABLE);
        SetModemLine(port->fd, TIOCM_DTR, state.fDtrControl != SERIAL_DTR_CONTROL_DISABLE);
        port->rtsControl = static_cast<std::uint8_t>(state.fRtsControl);
        port->dtrControl = static_cast<std::uint8_t>(state.fDtrControl);
        port->eventChar = state.EvtChar;
        return true;
    }

    bool Purge(PortHandle handle, std::uint32_t flags) override
    {
        PosixPort* port = AsPort(handle);
        if (!port)
            return Fail(EBADF);
        // Reads and writes finish inside their calls here, so the abort flags have
        // nothing to abort; the clear flags map to tcflush.
        const bool input = flags & (SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_RXABORT);
        const bool output = flags & (SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_TXABORT);
        if (!input && !output)
            return true;
        const int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
        if (tcflush(port->fd, queue) != 0)
            return Fail(errno);
        return true;
    }

    CommWaitStart StartCommWait(PortHandle handle, std::uint32_t* eventWord, PortOverlapped& overlapped) override
    {
        PosixPort* port = AsPort(handle);
        if (!port || !overlapped.hEvent) {
            Fail(EBADF);
            return CommWaitStart::Failed;
        }
        PosixEvent* event = AsEvent(overlapped.hEvent);
        std::lock_guard<std::mutex> lock(event->lock);
        if (event->armedPort == port && !event->set)
            return CommWaitStart::Pending;  // the wait of an earlier call still runs
        if (event->set) {
            event->set = false;
            char drain[16];
            while (read(event->readFd, drain, sizeof drain) > 0) {
            }
        }
        Disarm(event);
        if (port->armedEvent)
            Disarm(port->armedEvent);
        event->armedPort = port;
        event->armedWord = eventWord;
        port->armedEvent = event;
        port->eventWord = eventWord;
        return CommWaitStart::Pending;
    }

    int WaitForEvents(const EventHandle* handles, unsigned count, unsigned timeoutMs) override
    {
        if (count == 0 || count > 3)
            return Fail(EINVAL), SERIAL_WAIT_FAILED;
        using Clock = std::chrono::steady_clock;
        const bool timed = timeoutMs != SERIAL_WAIT_INFINITE;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timed ? timeoutMs : 0);
        for (;;) {
            pollfd fds[6];
            PosixEvent* portOwner[6] = {};
            nfds_t used = 0;
            int setIndex = -1;
            for (unsigned i = 0; i < count && setIndex < 0; ++i) {
                PosixEvent* event = AsEvent(handles[i]);
                std::lock_guard<std::mutex> lock(event->lock);
                if (event->set) {
                    setIndex = static_cast<int>(i);
                    break;
                }
                fds[used++] = {event->readFd, POLLIN, 0};
                if (event->armedPort) {
                    portOwner[used] = event;
                    fds[used++] = {event->armedPort->fd, POLLIN, 0};
                }
            }
            int waitMs = -1;
            if (setIndex >= 0) {
                // A port armed at a lower index that already has input comes first: the
                // system's wait sets a comm wait's event as the bytes arrive, so received
                // bytes are served before a transmission (whose purge would drop them).
                // Only ports armed below the set index were collected.
                bool portBelow = false;
                for (nfds_t k = 0; k < used; ++k)
                    portBelow = portBelow || portOwner[k] != nullptr;
                if (!portBelow)
                    return setIndex;
                waitMs = 0;
            } else if (timed) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0)
                    return SERIAL_WAIT_TIMEOUT;
                waitMs = static_cast<int>(left.count()) + 1;
            }
            const int ready = poll(fds, used, waitMs);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                Fail(errno);
                return SERIAL_WAIT_FAILED;
            }
            if (ready == 0 && setIndex >= 0)
                return setIndex;  // no port below it has input
            for (nfds_t k = 0; k < used; ++k) {
                PosixEvent* event = portOwner[k];
                if (!event || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
                    continue;
                std::lock_guard<std::mutex> lock(event->lock);
                PosixPort* port = event->armedPort;
                if (!port)
                    continue;
                if (fds[k].revents & (POLLHUP | POLLERR | POLLNVAL))
                    port->hungUp = true;
                if (event->armedWord)
                    *event->armedWord = SERIAL_EV_RXCHAR;
                Disarm(event);
                SetLocked(event);
            }
            // Loop: the next round returns the lowest index that is set now.
        }
    }

    bool GetBytesWaiting(PortHandle handle, std::uint32_t& waiting) override
    {
        PosixPort* port = AsPort(handle);
        waiting = 0;
        if (!port)
            return Fail(EBADF);
        int count = 0;
        if (ioctl(port->fd, FIONREAD, &count) != 0) {
            if (errno != EIO)
                return Fail(errno);
            port->hungUp = true;  // a hung-up terminal refuses ioctls: let the read tell
            count = 0;
        }
        waiting = count > 0 ? static_cast<std::uint32_t>(count) : 0;
        if (waiting == 0 && port->hungUp)
            waiting = 1;  // let the read report the hang-up
        return true;
    }

    PortIo ReadPort(PortHandle handle, std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& got) override
    {
        PosixPort* port = AsPort(handle);
        got = 0;
        if (!port)
            return Fail(EBADF), PortIo::FailedStart;
        ssize_t n = read(port->fd, buffer, capacity);
        if (n < 0 && errno == EAGAIN && !port->hungUp) {
            // Counted as waiting but not readable yet: give it the read timeout.
            pollfd pfd{port->fd, POLLIN, 0};
            (void)poll(&pfd, 1, static_cast<int>(port->timeouts.ReadTotalTimeoutConstant));
            n = read(port->fd, buffer, capacity);
        }
        if (n < 0) {
            Fail(errno == EAGAIN ? EIO : errno);
            return PortIo::FailedStart;
        }
        if (n == 0) {
            port->hungUp = true;  // readable but nothing to read: the line is gone
            Fail(EIO);
            return PortIo::FailedStart;
        }
        got = static_cast<std::uint32_t>(n);
        if ((port->eventMask & SERIAL_EV_RXFLAG) && port->eventWord &&
            std::memchr(buffer, static_cast<unsigned char>(port->eventChar), got))
            *port->eventWord |= SERIAL_EV_RXFLAG;
        return PortIo::Done;
    }

    PortIo WritePort(PortHandle handle, const std::uint8_t* data, std::uint32_t count, std::uint32_t& sent,
                     EventHandle abortHandle) override
    {
        PosixPort* port = AsPort(handle);
        sent = 0;
        if (!port)
            return Fail(EBADF), PortIo::FailedStart;
        PosixEvent* abort = abortHandle ? AsEvent(abortHandle) : nullptr;
        using Clock = std::chrono::steady_clock;
        const auto limit =
            std::chrono::milliseconds(static_cast<std::uint64_t>(port->timeouts.WriteTotalTimeoutMultiplier) * count +
                                      port->timeouts.WriteTotalTimeoutConstant);
        const bool timed = port->timeouts.WriteTotalTimeoutMultiplier || port->timeouts.WriteTotalTimeoutConstant;
        const auto deadline = Clock::now() + limit;
        // True when the last poll said the port takes bytes: if the write then takes
        // none, the driver's word is not to be trusted, and the next wait is a pause
        // rather than a poll that would return at once again.
        bool saidWritable = false;
        while (sent < count) {
            if (abort && IsSet(abort))
                return PortIo::Aborted;
            const ssize_t n = write(port->fd, data + sent, count - sent);
            if (n > 0) {
                sent += static_cast<std::uint32_t>(n);
                saidWritable = false;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN) {
                Fail(errno);
                return PortIo::FailedStart;
            }
            // No progress: wait for room, for the abort event or for the write timeout.
            int waitMs = -1;
            if (timed) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0)
                    break;  // the write timeout ran out: the write ends short
                waitMs = static_cast<int>(left.count()) + 1;
            }
            pollfd fds[2];
            nfds_t used = 0;
            if (saidWritable)
                waitMs = waitMs < 0 ? STALLED_WRITE_PAUSE_MS : std::min(waitMs, STALLED_WRITE_PAUSE_MS);
            else
                fds[used++] = {port->fd, POLLOUT, 0};
            if (abort)
                fds[used++] = {abort->readFd, POLLIN, 0};
            const int ready = poll(used ? fds : nullptr, used, waitMs);
            saidWritable = ready > 0 && !saidWritable && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP));
        }
        return PortIo::Done;
    }

    void ClosePort(PortHandle handle) override
    {
        PosixPort* port = AsPort(handle);
        if (!port)
            return;
        if (PosixEvent* event = port->armedEvent) {
            std::lock_guard<std::mutex> lock(event->lock);
            Disarm(event);
        }
        // Back as it was found. A line that hung up takes no settings any more.
        if (!port->hungUp) {
            DrainOutputBounded(port->fd);
            if (port->foundValid)
                (void)tcsetattr(port->fd, TCSANOW, &port->found);
            ClearLowLatency(*port);
        }
        (void)ioctl(port->fd, TIOCNXCL);  // the terminal outlives us: let others open it again
        close(port->fd);                  // also drops the flock
        delete port;
    }

    PortFailure LastFailureKind(PortHandle handle) override
    {
        PosixPort* port = AsPort(handle);
        if (!port || (port->hungUp))
            return PortFailure::Gone;
        switch (t_lastError) {
        case ENODEV:
        case EBADF:
            return PortFailure::Gone;  // the device was removed, or the port is no longer open
        case EIO:
        case ENXIO:
            return PortFailure::Suspect;  // a glitch, or the first sign of a device that went
        default:
            return PortFailure::Transient;
        }
    }

    std::uint32_t LastErrorCode() override
    {
        return static_cast<std::uint32_t>(t_lastError);
    }

    std::string LastErrorText() override
    {
        return std::error_code(t_lastError, std::generic_category()).message();
    }
};

}  // namespace

SerialBackend& PlatformSerialBackend()
{
    static PosixSerialBackend backend;
    return backend;
}

LowLatencyState QueryLowLatency(const std::string& device)
{
#ifdef __linux__
    if (!LowLatencyRequested())
        return LowLatencyState::Off;
    const int fd = open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return LowLatencyState::Unknown;
    LowLatencyState state = LowLatencyState::Unsupported;
    serial_struct settings{};
    if (isatty(fd) && CurrentIoctls().getSerial(fd, &settings) == 0)
        state = (settings.flags & ASYNC_LOW_LATENCY) ? LowLatencyState::Set : LowLatencyState::Available;
    close(fd);
    return state;
#else
    (void)device;
    return LowLatencyState::NotApplicable;
#endif
}
