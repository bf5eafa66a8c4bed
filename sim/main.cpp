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
#include <memory>
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

// The device on one link (or the one device without a link) and its boards.
struct Station {
    std::string link;      // empty: none
    std::string lockPath;  // held while the program runs; empty: not held
    bool linked = false;   // the link points at the station's line
    std::string prefix;    // before its report lines: "LINK: " with several links
    std::string flashPath, logPath;
    std::unique_ptr<SimDevice> device;
    enum class Phase { Playing, Away, Done } phase = Phase::Playing;
    std::int64_t backAt = 0;   // Away: when the board comes back, CLOCK_MONOTONIC ns
    int status = SIM_EXIT_OK;  // the worst of its boards'

    // Removes what the station made: its link and its lock.
    void Release()
    {
        Unlink();
        if (!lockPath.empty())
            unlink(lockPath.c_str());
        lockPath.clear();
    }
    void Unlink()
    {
        if (linked)
            unlink(link.c_str());
        linked = false;
    }
    bool Link()
    {
        linked = MakeLink(device->SlavePath(), link);
        return linked;
    }
};

std::int64_t NowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

// `text`, every line after `prefix`.
std::string Prefixed(const std::string& text, const std::string& prefix)
{
    if (prefix.empty())
        return text;
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::size_t next = end == std::string::npos ? text.size() : end + 1;
        out += prefix + text.substr(at, next - at);
        at = next;
    }
    return out;
}

void PrintLine(const Station& station)
{
    std::printf("%sline: %s\n", station.prefix.c_str(), station.device->SlavePath().c_str());
    std::fflush(stdout);
}

// Prints the report of the board the station's device has played; counts its status.
void PrintBoard(Station& station, long boards, bool timedOut)
{
    const SimReport report = station.device->Report();
    std::string text = FormatReport(report);
    if (timedOut)
        text += "ended by: --max-time\n";
    const std::string board = boards > 1 ? "board " + std::to_string(station.device->Board()) + ": " : "";
    std::fputs(Prefixed(text, station.prefix + board).c_str(), stdout);
    std::fflush(stdout);
    station.status = WorseExitStatus(station.status, SimExitStatus(report));
}

void SetBoardFiles(Station& station, std::size_t index, std::size_t stations, long boards)
{
    const long board = station.device->Board();
    station.device->SetFilePaths(
        station.flashPath.empty() ? "" : BoardFilePath(station.flashPath, index, stations, board, boards),
        station.logPath.empty() ? "" : BoardFilePath(station.logPath, index, stations, board, boards));
}

// Starts the station's next board (on a new line after it was away, or after the
// device vanished). False when its line could not be set up (reported, counted).
bool StartNextBoard(Station& station, std::size_t index, std::size_t stations, long boards)
{
    const std::string oldPath = station.device->SlavePath();
    std::string error;
    // The files are named after the board that writes them: the one that just ended
    // writes them in NextBoard, under the names it was given.
    if (!station.device->NextBoard(error)) {
        std::fprintf(stderr, "device-sim: %s%s\n", station.prefix.c_str(), error.c_str());
        station.status = WorseExitStatus(station.status, SIM_EXIT_LINE);
        return false;
    }
    SetBoardFiles(station, index, stations, boards);
    if (station.device->SlavePath() != oldPath || station.phase == Station::Phase::Away) {
        if (!station.link.empty() && !station.Link()) {
            station.status = WorseExitStatus(station.status, SIM_EXIT_LINE);
            return false;
        }
        PrintLine(station);
    }
    return true;
}

// One look at a station: a board that has ended is reported and followed by the next.
void Step(Station& station, std::size_t index, std::size_t stations, const SimCommandLine& cli)
{
    switch (station.phase) {
    case Station::Phase::Done:
        return;
    case Station::Phase::Away:
        if (NowNs() < station.backAt)
            return;
        if (!StartNextBoard(station, index, stations, cli.boards)) {
            station.device->Stop();
            station.Release();
            station.phase = Station::Phase::Done;
            return;
        }
        station.phase = Station::Phase::Playing;
        return;
    case Station::Phase::Playing:
        break;
    }
    if (!station.device->WaitFinished(0))
        return;
    // A tool that went away before its first byte ends the station: nobody is there
    // to take the next board.
    const SimReport report = station.device->Report();
    if (report.closedBeforeFirstByte || station.device->Board() >= cli.boards) {
        station.device->Stop();
        station.Release();
        PrintBoard(station, cli.boards, false);
        station.phase = Station::Phase::Done;
        return;
    }
    if (cli.leaveMs >= 0) {
        // The board leaves: its line goes, and the link with it, until it comes back.
        station.device->Leave();
        station.Unlink();
        PrintBoard(station, cli.boards, false);
        station.backAt = NowNs() + static_cast<std::int64_t>(cli.leaveMs) * 1'000'000LL;
        station.phase = Station::Phase::Away;
        return;
    }
    PrintBoard(station, cli.boards, false);
    if (!StartNextBoard(station, index, stations, cli.boards)) {
        station.device->Stop();
        station.Release();
        station.phase = Station::Phase::Done;
    }
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

    // One station per link; without a link, one on a line of its own.
    std::vector<std::string> links = cli.linkPaths;
    if (links.empty())
        links.emplace_back();
    std::vector<Station> stations(links.size());
    auto releaseAll = [&stations] {
        for (Station& station : stations)
            station.Release();
    };
    for (std::size_t i = 0; i < links.size(); ++i) {
        Station& station = stations[i];
        station.link = links[i];
        station.prefix = links.size() > 1 ? links[i] + ": " : "";
        station.flashPath = cli.options.flashPath;
        station.logPath = cli.options.logPath;
        for (const std::string& path : {station.flashPath, station.logPath}) {
            if (path.empty())
                continue;
            if (!CheckWritable(BoardFilePath(path, i, links.size(), 1, cli.boards),
                               path == station.flashPath ? "flash" : "log")) {
                releaseAll();
                return SIM_EXIT_LINE;
            }
        }
        if (!station.link.empty() && !LockLink(station.link, station.lockPath)) {
            releaseAll();
            return SIM_EXIT_LINE;
        }
    }

    // SIGINT and SIGTERM end the run with a report; they are taken with sigtimedwait
    // below, so block them before the devices' threads start (they inherit the mask).
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    for (std::size_t i = 0; i < stations.size(); ++i) {
        Station& station = stations[i];
        SimOptions options = cli.options;
        options.flashPath =
            station.flashPath.empty() ? "" : BoardFilePath(station.flashPath, i, stations.size(), 1, cli.boards);
        options.logPath =
            station.logPath.empty() ? "" : BoardFilePath(station.logPath, i, stations.size(), 1, cli.boards);
        station.device = std::make_unique<SimDevice>(options);
        const bool ok = station.device->Start(error);
        if (!ok)
            std::fprintf(stderr, "device-sim: %s\n", error.c_str());
        if (!ok || (!station.link.empty() && !station.Link())) {
            for (Station& other : stations)
                if (other.device)
                    other.device->Stop();
            releaseAll();
            return SIM_EXIT_LINE;
        }
        PrintLine(station);
    }

    const std::int64_t started = NowNs();
    bool timedOut = false;
    for (;;) {
        bool playing = false;
        for (std::size_t i = 0; i < stations.size(); ++i) {
            Step(stations[i], i, stations.size(), cli);
            playing = playing || stations[i].phase != Station::Phase::Done;
        }
        if (!playing)
            break;
        const timespec poll{0, 20'000'000};
        if (sigtimedwait(&signals, nullptr, &poll) > 0)
            break;
        if (cli.maxSeconds > 0 && static_cast<double>(NowNs() - started) / 1e9 >= cli.maxSeconds) {
            timedOut = true;
            break;
        }
    }
    // Ended by a signal or --max-time: the boards being played are reported as they
    // stand; a board that is away has been reported already, but the boards after it
    // were never played, so the station's run is incomplete.
    int status = SIM_EXIT_OK;
    for (Station& station : stations) {
        if (station.phase == Station::Phase::Playing) {
            station.device->Stop();
            station.Release();
            PrintBoard(station, cli.boards, timedOut);
        } else if (station.phase == Station::Phase::Away) {
            station.device->Stop();
            station.Release();
            if (timedOut)
                std::printf("%sended by: --max-time\n", station.prefix.c_str());
            station.status = WorseExitStatus(station.status, SIM_EXIT_INCOMPLETE);
        }
        status = WorseExitStatus(status, station.status);
    }
    return status;
}
