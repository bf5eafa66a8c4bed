// The line around a loader model: reads the tool's bytes, feeds them to the model,
// plays the line faults and sends the replies at the emulated line's pace.
//
// Timing: every received byte is taken to arrive one byte time after the one before
// it (or after it was read, if the line was idle), so a frame written at once by the
// tool is only complete after its own wire time; a reply starts when the byte that
// caused it has arrived (plus the slow-device delay) and its bytes leave one byte
// time apart. Deadlines are absolute times on CLOCK_MONOTONIC; the thread sleeps with
// a timer slack of 1 ns so that it wakes close to them.
#include "sim/SimDevice.h"

#include "sim/EraseLoader.h"
#include "sim/IapLoader.h"
#include "sim/LineClock.h"
#include "sim/PosixLine.h"
#include "sim/ReplyShaper.h"
#include "sim/WholeFlashLoader.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif

namespace sim {

namespace {

constexpr std::int64_t NS_PER_MS = 1'000'000;
// How long a finished device keeps the line open for the tool to read its last reply
// and close its end.
constexpr std::int64_t LINGER_NS = 2000 * NS_PER_MS;
// A vanishing device closes the line this long after its last reply has left: closing
// a pseudo-terminal at once would discard that reply before the tool has read it.
constexpr std::int64_t VANISH_GRACE_NS = 100 * NS_PER_MS;
// Emulated line only: how long before a reply's deadline the thread stops sleeping and
// polls, and how long after a reply it polls for the tool's answer (the tools answer
// on their next 1 ms tick, or at once).
constexpr std::int64_t SPIN_NS = 150'000;
constexpr std::int64_t ANSWER_SPIN_NS = 1'500'000;

std::int64_t Now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

timespec ToTimespec(std::int64_t ns)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000LL);
    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000LL);
    return ts;
}

std::unique_ptr<LoaderModel> MakeModel(const SimOptions& options, std::string& error)
{
    switch (options.loader) {
    case LoaderKind::Erase:
        return std::make_unique<EraseLoader>();
    case LoaderKind::IapSolvane:
    case LoaderKind::IapTirell: {
        IapLoaderConfig config;
        config.variant = options.loader == LoaderKind::IapTirell ? IapVariant::Tirell : IapVariant::Solvane;
        config.startReply = options.startReply;
        config.ackReply = options.ackReply;
        config.expectedBlocks = options.expectedUnits;
        if (options.hasExpectedImage)
            config.expectedImage = options.expectedImage;
        config.errorBlocks.insert(options.faults.errorBlocks.begin(), options.faults.errorBlocks.end());
        config.restartAfterError = options.faults.restartAfterError;
        config.waitBeforeBlocks.insert(options.waitBeforeBlocks.begin(), options.waitBeforeBlocks.end());
        error = CheckIapConfig(config);
        if (!error.empty())
            return nullptr;
        return std::make_unique<IapLoader>(std::move(config));
    }
    case LoaderKind::WholeFlash: {
        WholeFlashConfig config;
        config.expectedPages = options.expectedUnits;
        config.hasExpectedImage = options.hasExpectedImage;
        if (options.hasExpectedImage)
            config.expectedImage = options.expectedImage;
        for (const RejectRule& rule : options.faults.rejectFrames)
            config.rejectFrames[rule.frame] += rule.times;
        config.eraseAck = options.eraseAck;
        return std::make_unique<WholeFlashLoader>(std::move(config));
    }
    }
    error = "unknown loader";
    return nullptr;
}

bool WriteFile(const std::string& path, const void* data, std::size_t size)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(file);
}

}  // namespace

struct SimDevice::Impl : LoaderOutput {
    explicit Impl(SimOptions o)
        : options(std::move(o)),
          clock(options.devicePath.empty() ? options.baud : 0),
          shaper(options.faults)
    {
    }

    SimOptions options;
    LineClock clock;
    ReplyShaper shaper;
    PosixLine line;
    std::unique_ptr<LoaderModel> model;
    int wakeFd = -1;
    // Watches the pseudo-terminal for the tool's opening while a quiet start waits
    // for it (Linux); -1: none.
    int openWatchFd = -1;
    std::thread thread;

    // Guards everything below and the model: the thread holds it while it works on
    // them, Report() while it copies.
    mutable std::mutex mutex;
    std::condition_variable endedCv;
    bool stopRequested = false;
    bool ended = false;
    bool stopped = false;
    SimReport report;

    // Thread state.
    struct Pending {
        std::uint8_t byte;
        std::int64_t deadline;
    };
    std::deque<Pending> output;
    std::int64_t byteTime = 0;       // arrival time of the byte being handled
    std::int64_t lastScheduled = 0;  // deadline of the last byte scheduled
    std::int64_t vanishAt = -1;      // when a vanishing device closes the line; -1: not yet
    bool inAnnounce = false;         // the model is making an announcement
    bool awaitingAnswer = false;     // a reply has been sent and the tool has not spoken since
    std::int64_t answerNsTotal = 0;  // sum of the tool's answer times
    unsigned long answers = 0;
    bool connected = false;  // the tool has sent a byte
    bool startTaken = false;
    std::int64_t startTime = 0;
    unsigned long inBytes = 0, outBytes = 0;
    unsigned long inAtStart = 0, outAtStart = 0;
    std::int64_t lastAnnounceStart = 0;
    unsigned long inAtAnnounce = 0, outAtAnnounce = 0;

    // LoaderOutput: a reply of the model, shaped by the faults and scheduled.
    void Reply(std::string_view bytes) override
    {
        const std::string shaped = shaper.Shape(bytes, model->Stats().framesReceived, !inAnnounce);
        if (shaped.empty() || vanishAt >= 0)
            return;
        ++report.repliesSent;
        const std::int64_t ready = byteTime + static_cast<std::int64_t>(shaper.DelayMs()) * NS_PER_MS;
        const std::int64_t start = clock.Transmit(ready, shaped.size());
        for (std::size_t i = 0; i < shaped.size(); ++i)
            output.push_back({static_cast<std::uint8_t>(shaped[i]), start + clock.WireNs(i + 1)});
        lastScheduled = output.back().deadline;
        outBytes += shaped.size();
        awaitingAnswer = true;
    }

    void Run();
    bool Flush(std::int64_t now);
    void HandleInput(const std::uint8_t* data, std::size_t size);
    void UpdateReport();
};

void SimDevice::Impl::UpdateReport()
{
    const LoaderStats& stats = model->Stats();
    report.framesReceived = stats.framesReceived;
    report.errorCount = stats.errorCount;
    report.errors = stats.errors;
    report.bytesWritten = stats.bytesWritten;
}

// Writes the bytes whose time has come. Returns false when the line is gone.
bool SimDevice::Impl::Flush(std::int64_t now)
{
    std::uint8_t buffer[512];
    while (!output.empty() && output.front().deadline <= now) {
        std::size_t n = 0;
        while (n < output.size() && n < sizeof buffer && output[n].deadline <= now) {
            buffer[n] = output[n].byte;
            ++n;
        }
        const ssize_t written = write(line.fd, buffer, n);
        if (written < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return true;  // the tool's input queue is full: try again later
            return false;
        }
        output.erase(output.begin(), output.begin() + written);
    }
    return true;
}

void SimDevice::Impl::HandleInput(const std::uint8_t* data, std::size_t size)
{
    const std::int64_t readAt = Now();
    const bool wasComplete = model->Stats().complete;
    if (awaitingAnswer && output.empty()) {
        // The tool's answer time: from the last byte of the reply to its next frame.
        awaitingAnswer = false;
        answerNsTotal += std::max<std::int64_t>(0, readAt - lastScheduled);
        ++answers;
        report.meanAnswerMs = static_cast<double>(answerNsTotal) / static_cast<double>(answers) / 1e6;
    }
    for (std::size_t i = 0; i < size; ++i) {
        byteTime = clock.Receive(readAt);
        if (!startTaken && !model->Leads()) {
            // The tool leads: the exchange starts with its first byte on the wire.
            startTaken = true;
            startTime = byteTime - clock.ByteNs();
        }
        ++inBytes;
        const bool wasStarted = model->ExchangeStarted();
        model->OnByte(data[i], *this);
        if (!startTaken && !wasStarted && model->ExchangeStarted()) {
            // The loader leads: the exchange started with the announcement just answered.
            startTaken = true;
            startTime = lastAnnounceStart;
            inAtStart = inAtAnnounce;
            outAtStart = outAtAnnounce;
        }
    }
    if (!wasComplete && model->Stats().complete) {
        report.complete = true;
        report.elapsedSeconds = static_cast<double>(std::max(lastScheduled, byteTime) - startTime) / 1e9;
        report.wireBytesIn = inBytes - inAtStart;
        report.wireBytesOut = outBytes - outAtStart;
    }
    UpdateReport();
}

void SimDevice::Impl::Run()
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const std::int64_t announceNs = static_cast<std::int64_t>(options.announceMs) * NS_PER_MS;
    const std::int64_t quietNs = static_cast<std::int64_t>(options.quietFirstMs) * NS_PER_MS;
    std::int64_t nextAnnounce = Now();
    // A quiet start counts from the tool's opening of the line where it can be seen,
    // else from now.
    bool awaitingOpen = false;
    if (quietNs > 0 && model->Leads()) {
        if (openWatchFd >= 0)
            awaitingOpen = true;
        else
            nextAnnounce += quietNs;
    }
    bool announcing = false;
    std::int64_t lingerUntil = -1;
    std::uint8_t buffer[4096];

    for (;;) {
        std::int64_t now = Now();
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopRequested)
                break;
            if (!Flush(now)) {
                report.lineClosedByTool = true;
                break;
            }
            const long vanishAfter = options.faults.vanishAfter;
            if (vanishAt < 0 && vanishAfter >= 0 &&
                model->Stats().framesReceived >= static_cast<unsigned long>(vanishAfter) && output.empty())
                vanishAt = std::max(now, clock.TxFree()) + VANISH_GRACE_NS;
            if (vanishAt >= 0 && now >= vanishAt) {
                line.Close();
                report.vanished = true;
                break;
            }
            // The loader's own announcements: the first at once, then one every period
            // after the last reply left; after a restart, one period after its last reply.
            const bool wants = model->WantsAnnounce();
            if (wants && !announcing && model->ExchangeStarted())
                nextAnnounce = std::max(now, clock.TxFree()) + announceNs;
            announcing = wants;
            if (announcing && !awaitingOpen && now >= nextAnnounce) {
                byteTime = now;
                lastAnnounceStart = std::max(now, clock.TxFree());
                inAtAnnounce = inBytes;
                outAtAnnounce = outBytes;
                inAnnounce = true;
                model->Announce(*this);
                inAnnounce = false;
                nextAnnounce = std::max(now, clock.TxFree()) + announceNs;
                UpdateReport();
                Flush(now);
            }
            if (lingerUntil < 0 && model->Stats().complete && output.empty())
                lingerUntil = now + LINGER_NS;
            if (lingerUntil >= 0 && now >= lingerUntil)
                break;
        }

        // Sleep until the next byte is due, the next announcement, the end of the
        // linger, or input.
        std::int64_t wake = now + 100 * NS_PER_MS;
        if (!output.empty())
            wake = std::min(wake, output.front().deadline);
        if (announcing && !awaitingOpen)
            wake = std::min(wake, nextAnnounce);
        if (lingerUntil >= 0)
            wake = std::min(wake, lingerUntil);
        if (vanishAt >= 0)
            wake = std::min(wake, vanishAt);
        // On an emulated line, the last stretch before a reply's deadline, and the
        // time right after a reply when the tool's next frame is due, are spent polling
        // without sleeping: waking from a sleep takes tens of microseconds, which would
        // add to every exchange and make the device slower than the line it emulates.
        std::int64_t sleepEnd = wake;
        std::int64_t spinEnd = wake;
        if (clock.ByteNs() > 0) {
            if (!output.empty()) {
                sleepEnd = wake - SPIN_NS;
            } else {
                const std::int64_t answerDue = clock.TxFree() + ANSWER_SPIN_NS;
                if (now < answerDue) {
                    sleepEnd = now;
                    spinEnd = std::min(wake, answerDue);
                }
            }
        }
        pollfd fds[3] = {{line.fd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {awaitingOpen ? openWatchFd : -1, POLLIN, 0}};
        int ready = 0;
        if (sleepEnd > now) {
            const timespec timeout = ToTimespec(sleepEnd - now);
            ready = ppoll(fds, 3, &timeout, nullptr);
        }
        while (ready == 0 && Now() < spinEnd) {
            // Yield between polls: the pty's own work and the tool need the CPU too.
            sched_yield();
            ready = poll(fds, 3, 0);
        }
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if (fds[1].revents != 0)
            continue;  // Stop(): checked at the top
        if (fds[2].revents != 0) {
            // The tool has opened the line: the quiet time starts now.
            awaitingOpen = false;
            nextAnnounce = Now() + quietNs;
            continue;
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t n = read(line.fd, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!connected) {
                    // The tool has opened and configured its end: let go of ours, so that
                    // the line hangs up when the tool closes it.
                    connected = true;
                    line.CloseSlave();
                }
                HandleInput(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLIN)) {
            // End of input or EIO: nobody holds the other end any more.
            std::lock_guard<std::mutex> lock(mutex);
            report.lineClosedByTool = true;
            break;
        }
    }

    std::lock_guard<std::mutex> lock(mutex);
    if (report.lineClosedByTool && !report.complete) {
        // A loader that was not told what to expect judges the run by where it stood.
        model->OnLineClosed();
        report.complete = model->Stats().complete;
    }
    if (startTaken && report.elapsedSeconds == 0) {
        // Complete at the close, or not complete: the exchange as far as it went.
        report.elapsedSeconds = static_cast<double>(std::max(lastScheduled, byteTime) - startTime) / 1e9;
        report.wireBytesIn = inBytes - inAtStart;
        report.wireBytesOut = outBytes - outAtStart;
    }
    UpdateReport();
    ended = true;
    endedCv.notify_all();
}

SimDevice::SimDevice(SimOptions options)
    : m_pImpl(std::make_unique<Impl>(std::move(options)))
{
}

SimDevice::~SimDevice()
{
    Stop();
}

bool SimDevice::Start(std::string& error)
{
    Impl& d = *m_pImpl;
    if (d.thread.joinable() || d.stopped) {
        error = "the simulated device has already been started";
        return false;
    }
    d.model = MakeModel(d.options, error);
    if (!d.model)
        return false;
    if (d.options.devicePath.empty() ? !d.line.OpenPty(error)
                                     : !d.line.OpenSerial(d.options.devicePath, d.options.baud, error))
        return false;
    d.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d.wakeFd < 0) {
        error = "cannot create an event descriptor";
        d.line.Close();
        return false;
    }
#ifdef __linux__
    // Set before the thread starts, so that an opening right after Start is seen.
    if (d.options.quietFirstMs > 0 && d.model->Leads() && d.line.isPty) {
        d.openWatchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (d.openWatchFd >= 0 && inotify_add_watch(d.openWatchFd, d.line.path.c_str(), IN_OPEN) < 0) {
            close(d.openWatchFd);
            d.openWatchFd = -1;
        }
    }
#endif
    d.thread = std::thread([&d] { d.Run(); });
    return true;
}

const std::string& SimDevice::SlavePath() const
{
    return m_pImpl->line.path;
}

bool SimDevice::WaitFinished(int timeoutMs)
{
    Impl& d = *m_pImpl;
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!d.thread.joinable() && !d.stopped)
        return false;
    if (timeoutMs < 0) {
        d.endedCv.wait(lock, [&d] { return d.ended; });
        return true;
    }
    return d.endedCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&d] { return d.ended; });
}

void SimDevice::Stop()
{
    Impl& d = *m_pImpl;
    if (!d.thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.stopRequested = true;
    }
    const std::uint64_t one = 1;
    (void)!write(d.wakeFd, &one, sizeof one);
    d.thread.join();
    d.line.Close();
    close(d.wakeFd);
    d.wakeFd = -1;
    if (d.openWatchFd >= 0)
        close(d.openWatchFd);
    d.openWatchFd = -1;
    d.stopped = true;

    if (!d.options.flashPath.empty()) {
        std::vector<std::uint8_t> flash = d.model->FlashImage();
        if (d.options.flashLength >= 0)
            flash.resize(static_cast<std::size_t>(d.options.flashLength), 0xFF);
        if (!WriteFile(d.options.flashPath, flash.data(), flash.size()))
            std::fprintf(stderr, "device-sim: cannot write %s\n", d.options.flashPath.c_str());
    }
    if (!d.options.logPath.empty()) {
        std::string text;
        for (const std::string& entry : d.model->FrameLog())
            text += entry + "\n";
        if (!WriteFile(d.options.logPath, text.data(), text.size()))
            std::fprintf(stderr, "device-sim: cannot write %s\n", d.options.logPath.c_str());
    }
}

SimReport SimDevice::Report() const
{
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->report;
}

std::string FormatReport(const SimReport& report)
{
    std::string text;
    auto add = [&text](const char* key, const std::string& value) { text += std::string(key) + ": " + value + "\n"; };
    auto yesNo = [](bool b) { return std::string(b ? "yes" : "no"); };
    char number[32];
    auto fixed = [&number](const char* format, double value) {
        std::snprintf(number, sizeof number, format, value);
        return std::string(number);
    };
    add("result", report.complete ? "complete" : "incomplete");
    add("frames received", std::to_string(report.framesReceived));
    add("errors", std::to_string(report.errorCount));
    for (const std::string& error : report.errors)
        add("error", error);
    add("bytes written", std::to_string(report.bytesWritten));
    add("replies sent", std::to_string(report.repliesSent));
    add("line closed by tool", yesNo(report.lineClosedByTool));
    add("device vanished", yesNo(report.vanished));
    add("wire bytes in", std::to_string(report.wireBytesIn));
    add("wire bytes out", std::to_string(report.wireBytesOut));
    add("elapsed", fixed("%.6f s", report.elapsedSeconds));
    add("mean answer time", fixed("%.3f ms", report.meanAnswerMs));
    add("all checked", yesNo(report.AllChecked()));
    return text;
}

}  // namespace sim
