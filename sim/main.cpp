// device-sim: the simulated device as a program. See SimHelpText for its use.
#include "sim/SimCli.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
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

// Makes `link` point at `target`, replacing an old symbolic link but nothing else.
bool MakeLink(const std::string& target, const std::string& link)
{
    struct stat st{};
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
    if (!cli.expectPath.empty()) {
        if (!ReadFile(cli.expectPath, cli.options.expectedImage)) {
            std::fprintf(stderr, "device-sim: cannot read %s\n", cli.expectPath.c_str());
            return SIM_EXIT_LINE;
        }
        cli.options.hasExpectedImage = true;
    }

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
        return SIM_EXIT_LINE;
    }
    if (!cli.linkPath.empty() && !MakeLink(device.SlavePath(), cli.linkPath)) {
        device.Stop();
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
    if (!cli.linkPath.empty())
        unlink(cli.linkPath.c_str());

    const SimReport report = device.Report();
    std::fputs(FormatReport(report).c_str(), stdout);
    if (timedOut)
        std::printf("ended by: --max-time\n");
    std::fflush(stdout);
    return SimExitStatus(report);
}
