// The line around a loader model: reads the tool's bytes, feeds them to the model,
// plays the line faults and sends the replies at the emulated line's pace.
//
// Timing: every received byte is taken to arrive one byte time after the one before
// it (or after it was read, if the line was idle), so a frame written at once by the
// tool is only complete after its own wire time; a reply starts when the byte that
// caused it has arrived (plus the slow-device delay) and its bytes leave one byte
// time apart. With an adapter latency the bytes of a reply, once they have arrived at
// the adapter after their wire time, are held as a USB adapter holds them (AdapterHold)
// and written to the tool when their batch is released. Deadlines are absolute times
// on CLOCK_MONOTONIC; the thread sleeps with a timer slack of 1 ns so that it wakes
// close to them.
#include "sim/SimDevice.h"

#include "sim/AdapterHold.h"
#include "sim/LineClock.h"
#include "sim/LoaderFactory.h"
#include "sim/PosixLine.h"
#include "sim/ReplyShaper.h"

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
#include <termios.h>
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
          shaper(options.faults),
          hold(options.adapterLatencyMs)
    {
    }

    SimOptions options;
    LineClock clock;
    ReplyShaper shaper;
    AdapterHold hold;
    PosixLine line;
    std::unique_ptr<LoaderModel> model;
    int wakeFd = -1;
    // Watches the pseudo-terminal for the tool's opening (Linux): a quiet start counts
    // from it, and the device lets go of its own hold on the slave then, so that a
    // tool that closes the line again without a byte is seen as a hangup. -1: none.
    int openWatchFd = -1;
    std::thread thread;
    bool started = false;       // Start succeeded
    bool filesWritten = false;  // the board's flash and log files are written
    long board = 1;

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
        std::int64_t deadline;  // when it is written to the tool: off the wire, and out of the adapter
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
    // An opening of the line was seen in this board.
    bool opened = false;
    // The board began with the line held by the tool of the board before (which may
    // close it between boards), not by the device.
    bool heldByPriorTool = false;
    // The last reply went on the line whole (not cut, not dropped by silence).
    bool lastReplyWhole = false;
    // The reply that completed the run was whole; the deadline of its last byte.
    bool completedWhole = false;
    std::int64_t completedAt = 0;

    // LoaderOutput: a reply of the model, shaped by the faults and scheduled.
    void Reply(std::string_view bytes) override
    {
        const std::string shaped = shaper.Shape(bytes, model->Stats().framesReceived, !inAnnounce);
        lastReplyWhole = false;
        if (shaped.empty() || vanishAt >= 0)
            return;
        lastReplyWhole =
            shaped.size() >= bytes.size() && std::string_view(shaped).substr(shaped.size() - bytes.size()) == bytes;
        ++report.repliesSent;
        const std::int64_t ready = byteTime + static_cast<std::int64_t>(shaper.DelayMs()) * NS_PER_MS;
        const std::int64_t start = clock.Transmit(ready, shaped.size());
        for (std::size_t i = 0; i < shaped.size(); ++i) {
            const AdapterHold::Placed placed = hold.Add(start + clock.WireNs(i + 1));
            output.push_back({static_cast<std::uint8_t>(shaped[i]), placed.release});
            if (placed.batched == ADAPTER_BATCH_BYTES) {
                // The batch is full: it goes to the tool now, the bytes before this one
                // too (none of them has been written: the batch was still held).
                const std::size_t batch = std::min(placed.batched, output.size());
                for (std::size_t j = output.size() - batch; j < output.size(); ++j)
                    output[j].deadline = placed.release;
            }
        }
        lastScheduled = output.back().deadline;
        outBytes += shaped.size();
        awaitingAnswer = true;
    }

    void Run();
    bool Flush(std::int64_t now);
    void HandleInput(const std::uint8_t* data, std::size_t size);
    void UpdateReport();
    // True if the watch has seen an opening since it was last read.
    bool ReadWatch();
    // The line has hung up: the run has ended, unless the last board's tool closed it
    // between boards (true: the device holds it again for the next tool).
    bool HungUp();
    // The verdict when the run has ended.
    void Judge();
    bool OpenLine(std::string& error);
    void OpenWatch();
    void CloseWatch();
    // Ends the thread and writes the board's files (once).
    void FinishBoard();
    // A new model and a line state as at the start, for the next board.
    void ResetBoard();
};

void SimDevice::Impl::UpdateReport()
{
    const LoaderStats& stats = model->Stats();
    report.framesReceived = stats.framesReceived;
    report.errorCount = stats.errorCount;
    report.errors = stats.errors;
    report.bytesWritten = stats.bytesWritten;
    report.adapterLatencyMs = options.adapterLatencyMs;
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
        completedWhole = lastReplyWhole;
        completedAt = lastScheduled;
        report.complete = lastReplyWhole;
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
        if (openWatchFd >= 0 && !heldByPriorTool)
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
            if (!Flush(now) && !HungUp())
                break;
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
                // The tool's answer is due once the last reply has reached it: off the
                // wire, and out of the adapter's hold.
                const std::int64_t answerDue = std::max(clock.TxFree(), lastScheduled) + ANSWER_SPIN_NS;
                if (now < answerDue) {
                    sleepEnd = now;
                    spinEnd = std::min(wake, answerDue);
                }
            }
        }
        pollfd fds[3] = {
            {line.fd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {connected || opened ? -1 : openWatchFd, POLLIN, 0}};
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
        if (fds[2].revents != 0 && ReadWatch() && !opened) {
            // The tool has opened the line (the watch began after the device's own
            // opening): the quiet time starts now, and the device lets go of the
            // slave, which keeps the settings while the tool holds it.
            opened = true;
            line.CloseSlave();
            if (awaitingOpen) {
                awaitingOpen = false;
                nextAnnounce = Now() + quietNs;
            }
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
            if (HungUp())
                continue;
            break;
        }
    }

    std::lock_guard<std::mutex> lock(mutex);
    Judge();
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

void SimDevice::Impl::Judge()
{
    bool modelComplete = model->Stats().complete;
    bool whole = completedWhole;
    if (!modelComplete && report.lineClosedByTool && !report.closedBeforeFirstByte) {
        // A loader that was not told what to expect judges the run by where it stood.
        model->OnLineClosed();
        modelComplete = model->Stats().complete;
        whole = lastReplyWhole;
        completedAt = lastScheduled;
    }
    // The tool knows it is done only from the reply that completed the run: one that
    // was cut short, dropped or never left the line leaves the tool failing.
    const bool delivered = whole && (output.empty() || output.front().deadline > completedAt);
    report.complete = modelComplete && delivered;
    if (modelComplete && !delivered)
        report.note = "the reply that ended the transfer did not reach the tool whole (cut short, dropped, or the line "
                      "closed first)";
    else
        report.note = model->Stats().note;
}

bool SimDevice::Impl::HungUp()
{
    if (!connected && !opened && heldByPriorTool) {
        heldByPriorTool = false;
        std::string error;
        if (line.HoldSlave(error)) {
            OpenWatch();  // anew: the device's own opening is not the next tool's
            return true;
        }
    }
    report.lineClosedByTool = true;
    // Gone before its first byte: bytes written before the closing are read before
    // the hangup is seen.
    report.closedBeforeFirstByte = !connected;
    return false;
}

bool SimDevice::Impl::ReadWatch()
{
    bool seen = false;
#ifdef __linux__
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t n = read(openWatchFd, events, sizeof events);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            seen = seen || (event->mask & IN_OPEN) != 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
#endif
    return seen;
}

bool SimDevice::Impl::OpenLine(std::string& error)
{
    return options.devicePath.empty() ? line.OpenPty(error) : line.OpenSerial(options.devicePath, options.baud, error);
}

void SimDevice::Impl::OpenWatch()
{
    CloseWatch();
#ifdef __linux__
    // Set before the thread starts, so that an opening right after Start is seen; the
    // device's own hold on the slave is older, so it is not counted.
    if (!line.isPty)
        return;
    openWatchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (openWatchFd >= 0 && inotify_add_watch(openWatchFd, line.path.c_str(), IN_OPEN) < 0)
        CloseWatch();
#endif
}

void SimDevice::Impl::CloseWatch()
{
    if (openWatchFd >= 0)
        close(openWatchFd);
    openWatchFd = -1;
}

void SimDevice::Impl::FinishBoard()
{
    if (thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopRequested = true;
        }
        const std::uint64_t one = 1;
        (void)!write(wakeFd, &one, sizeof one);
        thread.join();
        // The wake-up is not read by the ended thread: drain it for the next board.
        std::uint64_t count = 0;
        (void)!read(wakeFd, &count, sizeof count);
    }
    if (filesWritten)
        return;
    filesWritten = true;
    if (!options.flashPath.empty()) {
        std::vector<std::uint8_t> flash = model->FlashImage();
        if (options.flashLength >= 0)
            flash.resize(static_cast<std::size_t>(options.flashLength), 0xFF);
        if (!WriteFile(options.flashPath, flash.data(), flash.size()))
            std::fprintf(stderr, "device-sim: cannot write %s\n", options.flashPath.c_str());
    }
    if (!options.logPath.empty()) {
        std::string text;
        for (const std::string& entry : model->FrameLog())
            text += entry + "\n";
        if (!WriteFile(options.logPath, text.data(), text.size()))
            std::fprintf(stderr, "device-sim: cannot write %s\n", options.logPath.c_str());
    }
}

void SimDevice::Impl::ResetBoard()
{
    std::string error;
    std::unique_ptr<LoaderModel> fresh = MakeLoaderModel(options, error);  // as at Start, where it was made once
    std::lock_guard<std::mutex> lock(mutex);
    model = std::move(fresh);
    clock = LineClock(options.devicePath.empty() ? options.baud : 0);
    shaper = ReplyShaper(options.faults);
    hold = AdapterHold(options.adapterLatencyMs);
    stopRequested = false;
    ended = false;
    report = SimReport{};
    output.clear();
    byteTime = 0;
    lastScheduled = 0;
    vanishAt = -1;
    inAnnounce = false;
    awaitingAnswer = false;
    answerNsTotal = 0;
    answers = 0;
    connected = false;
    startTaken = false;
    startTime = 0;
    inBytes = outBytes = inAtStart = outAtStart = 0;
    lastAnnounceStart = 0;
    inAtAnnounce = outAtAnnounce = 0;
    opened = heldByPriorTool = false;
    lastReplyWhole = completedWhole = false;
    completedAt = 0;
    filesWritten = false;
    ++board;
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
    if (d.started) {
        error = "the simulated device has already been started";
        return false;
    }
    d.model = MakeLoaderModel(d.options, error);
    if (!d.model)
        return false;
    if (!d.OpenLine(error))
        return false;
    d.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d.wakeFd < 0) {
        error = "cannot create an event descriptor";
        d.line.Close();
        return false;
    }
    d.OpenWatch();
    d.started = true;
    d.thread = std::thread([&d] { d.Run(); });
    return true;
}

bool SimDevice::NextBoard(std::string& error)
{
    Impl& d = *m_pImpl;
    if (!d.started || d.stopped) {
        error = "the simulated device is not running";
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!d.ended) {
            error = "the board's run has not ended";
            return false;
        }
    }
    d.FinishBoard();
    bool heldByTool = false;
    if (d.line.fd >= 0 && d.line.isPty && d.line.slaveFd < 0) {
        // The device had let go of the slave for the tool. A master that does not
        // report a hangup still has the tool at the other end (one that keeps the
        // line open from one board to the next); otherwise the device holds it again.
        pollfd p{d.line.fd, POLLIN, 0};
        heldByTool = poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
        if (!heldByTool) {
            if (!d.line.HoldSlave(error))
                return false;
            tcflush(d.line.slaveFd, TCIOFLUSH);  // what the last board left unread
        }
    }
    if (d.line.fd < 0 && !d.OpenLine(error))
        return false;
    d.ResetBoard();
    d.heldByPriorTool = heldByTool;
    d.OpenWatch();
    d.thread = std::thread([&d] { d.Run(); });
    return true;
}

void SimDevice::Leave()
{
    Impl& d = *m_pImpl;
    if (!d.started || d.stopped)
        return;
    d.FinishBoard();
    d.CloseWatch();
    d.line.Close();
}

void SimDevice::SetFilePaths(const std::string& flashPath, const std::string& logPath)
{
    m_pImpl->options.flashPath = flashPath;
    m_pImpl->options.logPath = logPath;
}

long SimDevice::Board() const
{
    return m_pImpl->board;
}

const std::string& SimDevice::SlavePath() const
{
    return m_pImpl->line.path;
}

bool SimDevice::WaitFinished(int timeoutMs)
{
    Impl& d = *m_pImpl;
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!d.started)
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
    if (!d.started || d.stopped)
        return;
    d.FinishBoard();
    d.line.Close();
    close(d.wakeFd);
    d.wakeFd = -1;
    d.CloseWatch();
    d.stopped = true;
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
    if (report.adapterLatencyMs > 0)
        add("adapter latency", std::to_string(report.adapterLatencyMs) + " ms");
    add("all checked", yesNo(report.AllChecked()));
    if (!report.note.empty())
        add("note", report.note);
    if (report.closedBeforeFirstByte)
        add("ended by", "the tool closed the line before its first byte");
    return text;
}

}  // namespace sim
