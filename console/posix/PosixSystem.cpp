#include "console/System.h"

#include "platform/PortNames.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

std::vector<std::string> ProgramArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void PrepareStandardStreams()
{
    std::signal(SIGPIPE, SIG_IGN);
}

int TerminalWidth(std::FILE* stream)
{
    struct winsize size {};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

bool TerminalTakesBar(std::FILE* stream)
{
    if (::isatty(::fileno(stream)) != 1)
        return false;
    const char* term = std::getenv("TERM");
    return term && *term && std::strcmp(term, "dumb") != 0;
}

bool InputIsTerminal()
{
    return ::isatty(STDIN_FILENO) == 1;
}

long ReadInput(char* buffer, unsigned capacity)
{
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, capacity);
        if (got < 0 && errno == EINTR)
            continue;
        return static_cast<long>(got);
    }
}

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

std::string SystemErrorText(std::uint32_t code)
{
    return std::strerror(static_cast<int>(code));
}

// --- interrupts --------------------------------------------------------------------

struct InterruptWatcher::Shared {
    std::mutex lock;  // held while a signal is handled; Stop waits for it
    bool active = false;
    bool interrupted = false;
    std::function<void(int)> onInterrupt;
    std::function<void(int)> onResize;
};

namespace {

sigset_t WatchedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGWINCH);
    return set;
}

// The watcher's thread: it outlives the run (it is never joined); once the run is
// over it touches nothing of it.
void ServeSignals(const std::shared_ptr<InterruptWatcher::Shared>& shared)
{
    const sigset_t set = WatchedSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0)
            continue;
        std::lock_guard<std::mutex> lock(shared->lock);
        if (!shared->active) {
            if (signal != SIGWINCH)
                ::_exit(128 + signal);  // the run is over; the program is ending anyway
            continue;
        }
        if (signal == SIGWINCH) {
            if (shared->onResize)
                shared->onResize(TerminalWidth(stderr));
            continue;
        }
        if (shared->interrupted) {
            // A second Ctrl-C: the user does not want to wait for a clean end.
            const char newline = '\n';
            ssize_t ignored = ::write(STDERR_FILENO, &newline, 1);
            (void)ignored;
            ::_exit(128 + signal);
        }
        shared->interrupted = true;
        if (shared->onInterrupt)
            shared->onInterrupt(signal);
    }
}

}  // namespace

InterruptWatcher::InterruptWatcher()
    : m_shared(std::make_shared<Shared>())
{
}

InterruptWatcher::~InterruptWatcher()
{
    Stop();
}

void InterruptWatcher::Block()
{
    const sigset_t set = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void InterruptWatcher::Start(std::function<void(int)> onInterrupt, std::function<void(int)> onResize)
{
    {
        std::lock_guard<std::mutex> lock(m_shared->lock);
        m_shared->onInterrupt = std::move(onInterrupt);
        m_shared->onResize = std::move(onResize);
        m_shared->active = true;
    }
    std::thread([shared = m_shared] { ServeSignals(shared); }).detach();
}

void InterruptWatcher::Stop()
{
    std::lock_guard<std::mutex> lock(m_shared->lock);
    m_shared->active = false;
    m_shared->onInterrupt = nullptr;
    m_shared->onResize = nullptr;
}

// --- the record file ---------------------------------------------------------------

AppendFile::~AppendFile()
{
    if (m_handle >= 0)
        ::close(static_cast<int>(m_handle));
}

bool AppendFile::Open(const std::string& path, std::string& error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    m_handle = fd;
    return true;
}

bool AppendFile::Append(const std::string& text, std::string& error)
{
    const int fd = static_cast<int>(m_handle);
    // The lock keeps other processes' lines out of this one even where a file
    // system does not make one append atomic.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    const ssize_t written = ::write(fd, text.data(), text.size());
    const int writeError = errno;
    const bool synced = written == static_cast<ssize_t>(text.size()) && ::fdatasync(fd) == 0;
    const int syncError = errno;
    ::flock(fd, LOCK_UN);
    if (written != static_cast<ssize_t>(text.size())) {
        error = written < 0 ? std::strerror(writeError) : "the line was written only in part (disk full?)";
        return false;
    }
    if (!synced) {
        error = std::string("the line did not reach the disk: ") + std::strerror(syncError);
        return false;
    }
    return true;
}

// --- ports -------------------------------------------------------------------------

bool PortDevicePresent(const std::string& path, std::uint64_t* identity)
{
    if (ParseComName(path.c_str()) != 0) {
        // COMn stands for a device of the environment's choosing (SUITE_COMn).
        if (identity)
            *identity = 0;
        return true;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    if (identity)
        *identity = (static_cast<std::uint64_t>(st.st_rdev) << 32) ^ static_cast<std::uint64_t>(st.st_ino);
    return true;
}
