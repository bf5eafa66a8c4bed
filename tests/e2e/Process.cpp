#include "Process.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

extern char** environ;

namespace e2e {

std::string ReadText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

Process::Process(const std::vector<std::string>& argv, const std::string& logBase, const std::string& stdoutPath)
    : m_outPath(stdoutPath.empty() ? logBase + ".out" : stdoutPath),
      m_errPath(logBase + ".err")
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0)
        m_pid = pid;
    posix_spawn_file_actions_destroy(&actions);
}

Process::~Process()
{
    if (m_pid > 0 && !m_bWaited) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

void Process::Terminate()
{
    if (m_pid > 0 && !m_bWaited)
        kill(m_pid, SIGTERM);
}

void Process::Signal(int signal)
{
    if (m_pid > 0 && !m_bWaited)
        kill(m_pid, signal);
}

std::string Process::OutputSoFar() const
{
    return ReadText(m_outPath);
}

TerminalResult RunOnTerminal(const std::vector<std::string>& argv, int limitMs, int columns, int resizeAfterMs,
                             int resizeColumns, const std::vector<Keystrokes>& typed)
{
    std::size_t nextTyped = 0;
    std::size_t cueFrom = 0;  // where the next cue is looked for
    TerminalResult result;
    struct winsize size {};
    size.ws_row = 40;
    size.ws_col = static_cast<unsigned short>(columns);
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0)
        return result;
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(limitMs);
    int status = 0;
    bool exited = false;
    bool resized = resizeAfterMs < 0;
    for (;;) {
        if (!resized && std::chrono::steady_clock::now() >= start + std::chrono::milliseconds(resizeAfterMs)) {
            size.ws_col = static_cast<unsigned short>(resizeColumns);
            ioctl(master, TIOCSWINSZ, &size);  // the kernel signals the terminal's programs
            result.resizedAt = result.output.size();
            resized = true;
        }
        struct pollfd p {
            master, POLLIN, 0
        };
        if (poll(&p, 1, 20) > 0) {
            char buffer[4096];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                result.output.append(buffer, static_cast<std::size_t>(n));
                if (nextTyped < typed.size()) {
                    const std::size_t cue = result.output.find(typed[nextTyped].cue, cueFrom);
                    if (cue != std::string::npos) {
                        const std::string& text = typed[nextTyped++].text;
                        if (write(master, text.data(), text.size()) < 0)
                            break;
                        cueFrom = cue + 1;
                    }
                }
                continue;
            }
            if (exited)
                break;  // everything read: the terminal reports its end
        }
        if (!exited && waitpid(pid, &status, WNOHANG) == pid)
            exited = true;
        else if (exited && !(p.revents & POLLIN))
            break;
        if (!exited && std::chrono::steady_clock::now() >= end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.killed = true;
            break;
        }
    }
    close(master);
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    return result;
}

ProcessResult Process::Wait(int limitMs, bool terminateFirst)
{
    ProcessResult result;
    if (m_pid <= 0 || m_bWaited)
        return result;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid)
            break;
        if (std::chrono::steady_clock::now() >= end && terminateFirst) {
            kill(m_pid, SIGTERM);
            terminateFirst = false;
            end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        } else if (std::chrono::steady_clock::now() >= end) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            result.killed = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_bWaited = true;
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    result.signalled = WIFSIGNALED(status);
    // A device given as standard output (/dev/full) is not read back.
    if (m_outPath.rfind("/dev/", 0) != 0)
        result.out = ReadText(m_outPath);
    result.err = ReadText(m_errPath);
    return result;
}

}  // namespace e2e
