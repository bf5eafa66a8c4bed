// engine_bench: figures of the serial engine on this machine (POSIX), printed, not
// asserted.
//   1. Hand-over rate: bytes per second from a pseudo-terminal through the monitor
//      thread's synchronous hand-over to the owner's handler, the device writing as
//      fast as it can. Target: at least 100 x 11,520 B/s.
//   2. CPU at a full 115200-baud line: the device (a child process, so its own CPU is
//      not counted) delivers 11,520 bytes/s; the CPU time of this process (the
//      owner's loop thread and the monitor thread) as % of one core. Measured with
//      the bytes coming in 1 ms bursts (as a USB adapter delivers them) and one by one
//      every 87 us (a UART without FIFO, the worst case). Target: at most 2 %.
//   3. Idle: port open, monitor waiting, a 1 ms window timer ticking; CPU as % of
//      one core. Target: at most 0.5 %.
// First it measures the machine's floor: the CPU that one thread wake-up costs here
// (a bare loop of 1 ms sleeps). A 1 ms timer needs 1,000 wake-ups a second, a burst of
// received bytes three (the monitor on input, the owner's thread, the monitor again
// when the handler has returned), so on a machine with costly wake-ups (virtual
// machines) the floor, not the engine, sets the figures.
// Usage: engine_bench [SECONDS]   (seconds per CPU measurement, default 3)
#include "platform/PortNames.h"
#include "platform/posix/MessageLoop.h"
#include "serial/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#ifdef __APPLE__
#include <util.h>  // openpty
#else
#include <pty.h>
#endif
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double LINE_BYTES_PER_SECOND = 11520.0;  // 115200 baud, 10 bits per byte
constexpr unsigned BENCH_PORT = 1;

// A pseudo-terminal whose slave the engine opens as COM1.
struct Pty {
    int master = -1;
    int slave = -1;
    Pty()
    {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(1);
        }
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        SetPortDevice(BENCH_PORT, ttyname(slave));
    }
    ~Pty()
    {
        close(master);
        close(slave);
    }
};

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void AddNs(timespec& t, long ns)
{
    t.tv_nsec += ns;
    while (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
}

// The device as a child process: writes `total` bytes, `chunk` bytes every
// `intervalNs` (0: as fast as it can). Returns the child's pid.
pid_t StartDevice(int master, long total, int chunk, long intervalNs)
{
    const pid_t child = fork();
    if (child != 0)
        return child;
#ifdef __linux__
    prctl(PR_SET_TIMERSLACK, 1UL);  // sleep as exactly as the kernel can
#endif
    std::vector<char> data(static_cast<std::size_t>(chunk), 'x');
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    long written = 0;
    while (written < total) {
        const int n = static_cast<int>(std::min<long>(chunk, total - written));
        const ssize_t w = write(master, data.data(), static_cast<std::size_t>(n));
        if (w > 0)
            written += w;
        else
            usleep(50);  // the terminal's buffer is full: let the engine catch up
        if (intervalNs > 0) {
            AddNs(next, intervalNs);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
    }
    _exit(0);
}

struct Receiver {
    MessageLoop loop;
    long received = 0;
    long expected = 0;
    LoopWindow window{loop, [this](unsigned message, std::uintptr_t, std::intptr_t) {
                          if (message == MSG_SERIAL_RX_CHAR && ++received == expected)
                              loop.Quit(0);
                          return std::intptr_t{0};
                      }};
};

bool OpenMonitored(SerialPort& port, Receiver& receiver)
{
    if (!port.OpenPort(&receiver.window, BENCH_PORT, 115200, 'N', 8, 1, 3, 2048) || !port.StartMonitor()) {
        std::fprintf(stderr, "cannot open the pseudo-terminal as COM%u\n", BENCH_PORT);
        return false;
    }
    return true;
}

void HandOverRate()
{
    Pty pty;
    Receiver receiver;
    SerialPort port;
    if (!OpenMonitored(port, receiver))
        return;
    const long total = 8L * 1024 * 1024;
    receiver.expected = total;
    const auto start = Clock::now();
    const pid_t device = StartDevice(pty.master, total, 4096, 0);
    receiver.loop.Run();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    waitpid(device, nullptr, 0);
    const double rate = static_cast<double>(receiver.received) / seconds;
    const double target = 100 * LINE_BYTES_PER_SECOND;
    std::printf("hand-over rate:          %12.0f bytes/s  (%ld bytes in %.2f s)  target >= %.0f  ratio %.1fx\n", rate,
                receiver.received, seconds, target, rate / target);
}

void FullLineCpu(const char* label, int chunk, long intervalNs, double seconds, double wakeUpCost)
{
    Pty pty;
    Receiver receiver;
    SerialPort port;
    if (!OpenMonitored(port, receiver))
        return;
    const long total = static_cast<long>(LINE_BYTES_PER_SECOND * seconds);
    receiver.expected = total;
    const double cpuBefore = CpuSeconds();
    const auto start = Clock::now();
    const pid_t device = StartDevice(pty.master, total, chunk, intervalNs);
    receiver.loop.Run();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuBefore;
    waitpid(device, nullptr, 0);
    const double percent = 100.0 * cpu / wall;
    const double bursts = static_cast<double>(total) / chunk;
    std::printf("full line, %-13s %8.2f %% of one core  (%.0f bytes/s over %.1f s)  target <= 2 %%  ratio %.2f\n",
                label, percent, static_cast<double>(receiver.received) / wall, wall, percent / 2.0);
    std::printf("                         (%.1f us of CPU per arrival of %d byte(s) = %.1f wake-ups' worth)\n",
                1e6 * cpu / bursts, chunk, cpu / bursts / wakeUpCost);
}

void IdleCpu(double seconds, bool withTimer)
{
    Pty pty;
    Receiver receiver;
    long ticks = 0;
    LoopWindow timerWindow(receiver.loop, [&](unsigned message, std::uintptr_t, std::intptr_t) {
        if (message == OWNER_MSG_TIMER)
            ++ticks;
        return std::intptr_t{0};
    });
    SerialPort port;
    if (!OpenMonitored(port, receiver))
        return;
    if (withTimer)
        timerWindow.SetOwnerTimer(2, 1);
    const double cpuBefore = CpuSeconds();
    const auto start = Clock::now();
    receiver.loop.RunFor(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuBefore;
    const double percent = 100.0 * cpu / wall;
    std::printf("idle, %-18s %8.3f %% of one core  (%.0f ticks/s)  target <= 0.5 %%  ratio %.2f\n",
                withTimer ? "1 ms timer:" : "no timer:", percent, static_cast<double>(ticks) / wall, percent / 0.5);
}

// What one sleep and wake-up of a thread costs this machine: a bare loop of 1 ms
// sleeps, the least any 1 ms timer can cost. Returns CPU seconds per wake-up.
double WakeUpCost(double seconds)
{
    const int wakes = static_cast<int>(seconds * 1000);
    const double cpuBefore = CpuSeconds();
    const auto start = Clock::now();
    for (int i = 0; i < wakes; ++i) {
        timespec timeout{0, 1000000};
        nanosleep(&timeout, nullptr);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuBefore;
    std::printf("machine floor:           %8.3f %% of one core for a bare 1 ms sleep loop  (%.1f us of CPU per "
                "wake-up)\n",
                100.0 * cpu / wall, 1e6 * cpu / wakes);
    return cpu / wakes;
}

constexpr int EXIT_USAGE = 64;
// Shorter measurements than this would hand the engine no byte to wait for.
constexpr double MIN_SECONDS = 0.1;

const char USAGE[] = "Usage: engine_bench [SECONDS]\n"
                     "Prints figures of the serial engine on this machine: the hand-over rate\n"
                     "from a pseudo-terminal, the CPU at a full 115200-baud line and when idle.\n"
                     "SECONDS: how long each CPU measurement lasts (default 3, at least 0.1).\n";

// The seconds per measurement from the command line; false on a bad one.
bool ParseSeconds(int argc, char** argv, double& seconds)
{
    if (argc == 1)
        return true;
    if (argc != 2)
        return false;
    char* end = nullptr;
    const double value = std::strtod(argv[1], &end);
    if (end == argv[1] || *end != '\0' || !(value >= MIN_SECONDS && value <= 3600))
        return false;
    seconds = value;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    double seconds = 3.0;
    if (!ParseSeconds(argc, argv, seconds)) {
        std::fprintf(stderr, "engine_bench: bad arguments\n%s", USAGE);
        return EXIT_USAGE;
    }
    signal(SIGPIPE, SIG_IGN);
    std::printf("serial engine, POSIX back end, pseudo-terminal line\n");
    const double wakeUp = WakeUpCost(seconds / 3);
    std::printf("                         (so 1,000 wake-ups a second cost %.2f %% here, 11,520 cost %.1f %%)\n",
                100.0 * wakeUp * 1000, 100.0 * wakeUp * 11520);
    HandOverRate();
    FullLineCpu("1 ms bursts:", 12, 1000000000L * 12 / 11520, seconds, wakeUp);
    FullLineCpu("byte by byte:", 1, 1000000000L / 11520, seconds, wakeUp);
    IdleCpu(seconds, true);
    IdleCpu(seconds, false);
    return 0;
}
