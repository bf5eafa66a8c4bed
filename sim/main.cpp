// device-sim: the simulated device as a program. See SimHelpText for its use.
#include "sim/SimCli.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sim;

namespace {

bool ReadFile(const std::string& path, std::vector<std::uint8_t>& data)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    data.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

// Checks before the run that `path` can be written, so that a run is never lost to a
// report file that cannot be written at its end. Leaves an existing file as it was.
bool CheckWritable(const std::string& path, const char* what)
{
    const bool existed = access(path.c_str(), F_OK) == 0;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "device-sim: cannot write the %s file %s: %s\n", what, path.c_str(), std::strerror(errno));
        return false;
    }
    close(fd);
    if (!existed)
        unlink(path.c_str());
    return true;
}

// Holds `link`.lock locked for the life of the program, so that a second device-sim
// cannot take over a link that a running one serves. False if another one holds it.
bool LockLink(const std::string& link, std::string& lockPath)
{
    lockPath = link + ".lock";
    const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "device-sim: cannot create %s: %s\n", lockPath.c_str(), std::strerror(errno));
        lockPath.clear();
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "device-sim: %s is in use by another device-sim\n", link.c_str());
        close(fd);
        lockPath.clear();
        return false;
    }
    return true;  // the descriptor stays open (and locked) until the program ends
}

// Makes `link` point at `target`, replacing an old symbolic link but nothing else.
bool MakeLink(const std::string& target, const std::string& link)
{
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "device-sim: %s exists and is not a symbolic link\n", link.c_str());
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::perror(("device-sim: cannot create " + link).c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    SimCommandLine cli;
    std::string error;
    if (!ParseSimCommandLine(std::vector<std::string>(argv + 1, argv + argc), cli, error)) {
        std::fprintf(stderr, "device-sim: %s\nTry 'device-sim --help'.\n", error.c_str());
        return SIM_EXIT_USAGE;
    }
    if (cli.help) {
        std::fputs(SimHelpText(), stdout);
        return SIM_EXIT_OK;
    }
    if (cli.version) {
        std::fputs(SimVersionText().c_str(), stdout);
        return SIM_EXIT_OK;
    }
    if (!cli.expectPath.empty()) {
        if (!ReadFile(cli.expectPath, cli.options.expectedImage)) {
            std::fprintf(stderr, "device-sim: cannot read %s\n", cli.expectPath.c_str());
            return SIM_EXIT_LINE;
        }
        cli.options.hasExpectedImage = true;
    }
    if (!cli.options.flashPath.empty() && !CheckWritable(cli.options.flashPath, "flash"))
        return SIM_EXIT_LINE;
    if (!cli.options.logPath.empty() && !CheckWritable(cli.options.logPath, "log"))
        return SIM_EXIT_LINE;
    std::string lockPath;
    if (!cli.linkPath.empty() && !LockLink(cli.linkPath, lockPath))
        return SIM_EXIT_LINE;
    auto releaseLink = [&cli, &lockPath] {
        if (cli.linkPath.empty())
            return;
        unlink(cli.linkPath.c_str());
        unlink(lockPath.c_str());
    };

    // SIGINT and SIGTERM end the run with a report; they are taken with sigtimedwait
    // below, so block them before the device's thread starts (it inherits the mask).
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    SimDevice device(cli.options);
    if (!device.Start(error)) {
        std::fprintf(stderr, "device-sim: %s\n", error.c_str());
        if (!lockPath.empty())
            unlink(lockPath.c_str());
        return SIM_EXIT_LINE;
    }
    if (!cli.linkPath.empty() && !MakeLink(device.SlavePath(), cli.linkPath)) {
        device.Stop();
        unlink(lockPath.c_str());
        return SIM_EXIT_LINE;
    }
    std::printf("line: %s\n", device.SlavePath().c_str());
    std::fflush(stdout);

    timespec started{};
    clock_gettime(CLOCK_MONOTONIC, &started);
    bool timedOut = false;
    for (;;) {
        if (device.WaitFinished(0))
            break;
        const timespec poll{0, 50'000'000};
        if (sigtimedwait(&signals, nullptr, &poll) > 0)
            break;
        if (cli.maxSeconds > 0) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const double seconds = static_cast<double>(now.tv_sec - started.tv_sec) +
                                   static_cast<double>(now.tv_nsec - started.tv_nsec) / 1e9;
            if (seconds >= cli.maxSeconds) {
                timedOut = true;
                break;
            }
        }
    }
    device.Stop();
    releaseLink();

    const SimReport report = device.Report();
    std::fputs(FormatReport(report).c_str(), stdout);
    if (timedOut)
        std::printf("ended by: --max-time\n");
    std::fflush(stdout);
    return SimExitStatus(report);
}
