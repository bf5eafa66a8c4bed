// The in-process simulated ports. No thread of their own: every device is moved on to
// "now" by the call that looks at it (a wait, a count of waiting bytes, a read, a
// report), and the waits sleep on one condition variable until the next moment
// something happens on one of their ports (a reply byte readable, an announcement,
// the device vanishing). All times are nanoseconds of the steady clock, and every
// scheduled event has its own time, not the time it was looked at, so that a device
// is looked at late changes nothing the tool can see.
//
// A byte the tool writes is put on the line at once (the write returns as a driver's
// does once it has taken the bytes); the loader is given it with the time its stop
// bit arrives (LineClock::Receive), and its replies are scheduled from that time, as
// SimDevice schedules them. Announcements due before that arrival are played first,
// so the loader sees both in the order of the line.
#include "sim/SimulatedBackend.h"

#include "platform/LineSettings.h"
#include "sim/AdapterHold.h"
#include "sim/LineClock.h"
#include "sim/LoaderFactory.h"
#include "sim/ReplyShaper.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <system_error>

namespace sim {

namespace {

constexpr std::int64_t NS_PER_MS = 1'000'000;
constexpr std::int64_t NEVER = std::numeric_limits<std::int64_t>::max();
// A vanishing device closes the line this long after its last reply has left (as
// SimDevice does), so that the reply reaches the tool before the hangup.
constexpr std::int64_t VANISH_GRACE_NS = 100 * NS_PER_MS;
// The shortest announcement period played, so that a period of 0 cannot loop.
constexpr std::int64_t MIN_ANNOUNCE_NS = NS_PER_MS;

// This thread's last recorded error, as an errno value.
thread_local int t_lastError = 0;

bool Fail(int code)
{
    t_lastError = code;
    return false;
}

std::int64_t Now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// "com3" and "COM3" name the same port; other names are kept as they are.
std::string PortKey(const std::string& name)
{
    std::string key = name;
    for (char& c : key)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

}  // namespace

struct SimulatedBackend::Event {
    bool set = false;
    Device* armedDevice = nullptr;       // the port of a pending comm wait, if any
    std::uint32_t* armedWord = nullptr;  // that wait's event word
};

struct SimulatedBackend::Device : LoaderOutput {
    Device(SimOptions o, std::unique_ptr<LoaderModel> m)
        : options(std::move(o)),
          clock(options.baud),
          shaper(options.faults),
          hold(options.adapterLatencyMs),
          model(std::move(m)),
          announceNs(std::max<std::int64_t>(MIN_ANNOUNCE_NS, static_cast<std::int64_t>(options.announceMs) * NS_PER_MS))
    {
        lineState.BaudRate = options.baud;
        report.adapterLatencyMs = options.adapterLatencyMs;
    }

    SimOptions options;
    LineClock clock;
    ReplyShaper shaper;
    AdapterHold hold;
    std::unique_ptr<LoaderModel> model;
    const std::int64_t announceNs;

    // The port as the tool has set it.
    bool open = false;
    CommTimeouts timeouts;
    std::uint32_t eventMask = 0;
    LineState lineState;
    Event* armedEvent = nullptr;         // the event of a pending comm wait, if any
    std::uint32_t* eventWord = nullptr;  // the word of the last comm wait

    // The line.
    struct Pending {
        std::uint8_t byte;
        std::int64_t deadline;  // when it is readable: off the wire, and out of the adapter
    };
    std::deque<Pending> output;
    bool hungUp = false;        // the device has closed the line (vanished)
    bool ended = false;         // the run has ended: closed by the tool, or vanished
    std::int64_t byteTime = 0;  // arrival of the byte (or time of the announcement) being handled
    std::int64_t lastScheduled = 0;
    std::int64_t vanishAt = -1;
    std::int64_t nextAnnounce = 0;
    bool announcing = false;
    bool inAnnounce = false;

    // The report's figures, kept as SimDevice keeps them.
    SimReport report;
    bool awaitingAnswer = false;
    std::int64_t answerNsTotal = 0;
    unsigned long answers = 0;
    bool connected = false;  // the tool has sent a byte
    bool startTaken = false;
    std::int64_t startTime = 0;
    unsigned long inBytes = 0, outBytes = 0, inAtStart = 0, outAtStart = 0;
    std::int64_t lastAnnounceStart = 0;
    unsigned long inAtAnnounce = 0, outAtAnnounce = 0;
    bool lastReplyWhole = false;
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
                // The batch is full: it is readable now, the bytes held before it too.
                // Those not read yet are still queued; read ones had an earlier deadline.
                const std::size_t batch = std::min(placed.batched, output.size());
                for (std::size_t j = output.size() - batch; j < output.size(); ++j)
                    output[j].deadline = std::min(output[j].deadline, placed.release);
            }
        }
        lastScheduled = output.back().deadline;
        outBytes += shaped.size();
        awaitingAnswer = true;
    }

    void UpdateReport()
    {
        const LoaderStats& stats = model->Stats();
        report.framesReceived = stats.framesReceived;
        report.errorCount = stats.errorCount;
        report.errors = stats.errors;
        report.bytesWritten = stats.bytesWritten;
    }

    // After the model has handled something at `at`: a loader that wants to announce
    // itself again (it has reset) does so one period after its last reply left.
    void NoteAnnounceState(std::int64_t at)
    {
        const bool wants = model->WantsAnnounce();
        if (wants && !announcing && model->ExchangeStarted())
            nextAnnounce = std::max(at, clock.TxFree()) + announceNs;
        announcing = wants;
    }

    // Plays the announcements due up to `until`.
    void AnnounceUntil(std::int64_t until)
    {
        while (open && announcing && vanishAt < 0 && nextAnnounce <= until) {
            const std::int64_t at = nextAnnounce;
            byteTime = at;
            lastAnnounceStart = std::max(at, clock.TxFree());
            inAtAnnounce = inBytes;
            outAtAnnounce = outBytes;
            inAnnounce = true;
            model->Announce(*this);
            inAnnounce = false;
            nextAnnounce = std::max(at, clock.TxFree()) + announceNs;
            NoteAnnounceState(at);
            UpdateReport();
        }
    }

    // Moves the device on to `now`: announcements, and the vanishing of the line.
    void Advance(std::int64_t now)
    {
        AnnounceUntil(now);
        if (vanishAt >= 0 && now >= vanishAt && !hungUp) {
            hungUp = true;
            ended = true;
            report.vanished = true;
            // What had not reached the tool when the line closed never will.
            while (!output.empty() && output.back().deadline > vanishAt)
                output.pop_back();
        }
    }

    // The next moment something happens on the line; NEVER: nothing is scheduled.
    std::int64_t NextDue() const
    {
        std::int64_t due = NEVER;
        if (!output.empty())
            due = output.front().deadline;
        if (open && announcing && vanishAt < 0)
            due = std::min(due, nextAnnounce);
        if (vanishAt >= 0 && !hungUp)
            due = std::min(due, vanishAt);
        return due;
    }

    // Reply bytes the tool can read at `now`.
    std::size_t Readable(std::int64_t now) const
    {
        std::size_t n = 0;
        while (n < output.size() && output[n].deadline <= now)
            ++n;
        return n;
    }

    void Opened(std::int64_t now)
    {
        open = true;
        if (!connected && !startTaken) {
            // The board is powered with the tool's opening: a loader that speaks
            // first announces itself then, or after its quiet time.
            const std::int64_t quietNs = static_cast<std::int64_t>(options.quietFirstMs) * NS_PER_MS;
            nextAnnounce = now + (model->Leads() ? quietNs : 0);
            announcing = model->WantsAnnounce();
        }
    }

    // The tool's bytes, written at `now`.
    void Write(const std::uint8_t* data, std::size_t size, std::int64_t now)
    {
        const bool wasComplete = model->Stats().complete;
        if (awaitingAnswer && lastScheduled <= now) {
            // The tool's answer time: from the last byte of the reply to its next frame.
            awaitingAnswer = false;
            answerNsTotal += now - lastScheduled;
            ++answers;
            report.meanAnswerMs = static_cast<double>(answerNsTotal) / static_cast<double>(answers) / 1e6;
        }
        connected = true;
        for (std::size_t i = 0; i < size; ++i) {
            const std::int64_t arrival = clock.Receive(now);
            AnnounceUntil(arrival - 1);
            byteTime = arrival;
            if (!startTaken && !model->Leads()) {
                // The tool leads: the exchange starts with its first byte on the wire.
                startTaken = true;
                startTime = byteTime - clock.ByteNs();
            }
            ++inBytes;
            const bool wasStarted = model->ExchangeStarted();
            model->OnByte(data[i], *this);
            if (!startTaken && !wasStarted && model->ExchangeStarted()) {
                // The loader leads: the exchange started with the announcement answered.
                startTaken = true;
                startTime = lastAnnounceStart;
                inAtStart = inAtAnnounce;
                outAtStart = outAtAnnounce;
            }
            NoteAnnounceState(arrival);
            const long vanishAfter = options.faults.vanishAfter;
            if (vanishAt < 0 && vanishAfter >= 0 &&
                model->Stats().framesReceived >= static_cast<unsigned long>(vanishAfter))
                vanishAt = std::max({lastScheduled, clock.TxFree(), byteTime}) + VANISH_GRACE_NS;
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

    // The tool closes the port at `now`: the run's verdict.
    void Closed(std::int64_t now)
    {
        Advance(now);
        open = false;
        if (!report.vanished) {
            report.lineClosedByTool = true;
            report.closedBeforeFirstByte = !connected;
        }
        bool modelComplete = model->Stats().complete;
        bool whole = completedWhole;
        if (!modelComplete && report.lineClosedByTool && !report.closedBeforeFirstByte) {
            // A loader that was not told what to expect judges the run by where it stood.
            model->OnLineClosed();
            modelComplete = model->Stats().complete;
            whole = lastReplyWhole;
            completedAt = lastScheduled;
        }
        // The tool knows it is done only from the reply that completed the run: one
        // that was cut short, dropped or had not reached it when it closed leaves the
        // tool failing.
        const bool delivered = whole && completedAt <= now;
        report.complete = modelComplete && delivered;
        if (modelComplete && !delivered)
            report.note = "the reply that ended the transfer did not reach the tool whole (cut short, dropped, or the "
                          "line closed first)";
        else
            report.note = model->Stats().note;
        if (startTaken && report.elapsedSeconds == 0) {
            report.elapsedSeconds = static_cast<double>(std::max(lastScheduled, byteTime) - startTime) / 1e9;
            report.wireBytesIn = inBytes - inAtStart;
            report.wireBytesOut = outBytes - outAtStart;
        }
        UpdateReport();
        output.clear();
        ended = true;
    }

    // The run has ended, or is complete and its last reply readable.
    bool Finished(std::int64_t now) const { return ended || (model->Stats().complete && lastScheduled <= now); }
};

namespace {

void Disarm(SimulatedBackend::Event* event);

}  // namespace

SimulatedBackend::SimulatedBackend() = default;

SimulatedBackend::~SimulatedBackend() = default;

bool SimulatedBackend::AddDevice(const std::string& name, const SimOptions& options, std::string& error)
{
    std::unique_ptr<LoaderModel> model = MakeLoaderModel(options, error);
    if (!model)
        return false;
    std::lock_guard<std::mutex> lock(m_lock);
    const std::string key = PortKey(name);
    const auto found = m_devices.find(key);
    if (found != m_devices.end() && found->second->open) {
        error = name + " is open";
        return false;
    }
    m_devices[key] = std::make_shared<Device>(options, std::move(model));
    return true;
}

bool SimulatedBackend::RemoveDevice(const std::string& name)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_devices.find(PortKey(name));
    if (found == m_devices.end())
        return true;
    if (found->second->open)
        return false;
    m_devices.erase(found);
    return true;
}

bool SimulatedBackend::WaitFinished(const std::string& name, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_lock);
    const auto found = m_devices.find(PortKey(name));
    if (found == m_devices.end())
        return false;
    const std::shared_ptr<Device> device = found->second;
    const std::int64_t deadline = timeoutMs < 0 ? NEVER : Now() + static_cast<std::int64_t>(timeoutMs) * NS_PER_MS;
    for (;;) {
        const std::int64_t now = Now();
        device->Advance(now);
        if (device->Finished(now))
            return true;
        if (now >= deadline)
            return false;
        std::int64_t wake = std::min(deadline, device->NextDue());
        if (device->model->Stats().complete)
            wake = std::min(wake, device->lastScheduled);
        if (wake == NEVER)
            m_changed.wait(lock);
        else
            m_changed.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(wake)));
    }
}

SimReport SimulatedBackend::Report(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_devices.find(PortKey(name));
    if (found == m_devices.end())
        return SimReport{};
    found->second->Advance(Now());
    return found->second->report;
}

// --- events ------------------------------------------------------------------------

EventHandle SimulatedBackend::NewEvent()
{
    return new Event;
}

void SimulatedBackend::SignalEvent(EventHandle handle)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        static_cast<Event*>(handle)->set = true;
    }
    m_changed.notify_all();
}

void SimulatedBackend::ClearEvent(EventHandle handle)
{
    std::lock_guard<std::mutex> lock(m_lock);
    static_cast<Event*>(handle)->set = false;
}

void SimulatedBackend::DeleteEvent(EventHandle handle)
{
    std::lock_guard<std::mutex> lock(m_lock);
    auto* event = static_cast<Event*>(handle);
    Disarm(event);
    delete event;
}

namespace {

void Disarm(SimulatedBackend::Event* event)
{
    if (event->armedDevice && event->armedDevice->armedEvent == event)
        event->armedDevice->armedEvent = nullptr;
    event->armedDevice = nullptr;
    event->armedWord = nullptr;
}

}  // namespace

// --- the port ----------------------------------------------------------------------

namespace {

// The open device behind `handle`, or null (EBADF recorded).
template <typename Map> SimulatedBackend::Device* OpenDevice(const Map& devices, PortHandle handle)
{
    for (const auto& entry : devices) {
        if (entry.second.get() == handle && entry.second->open)
            return entry.second.get();
    }
    Fail(EBADF);
    return nullptr;
}

}  // namespace

PortHandle SimulatedBackend::OpenPort(const char* name)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_devices.find(PortKey(name ? name : ""));
    if (found == m_devices.end() || found->second->hungUp) {
        Fail(ENOENT);  // no device of that name, or it has gone
        return SerialInvalidHandle();
    }
    Device& device = *found->second;
    if (device.open) {
        Fail(EBUSY);  // held by another user, as a port opened exclusively
        return SerialInvalidHandle();
    }
    device.Opened(Now());
    return &device;
}

bool SimulatedBackend::SetTimeouts(PortHandle handle, const CommTimeouts& timeouts)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Device* device = OpenDevice(m_devices, handle);
    if (!device)
        return false;
    device->timeouts = timeouts;
    return true;
}

bool SimulatedBackend::SetEventMask(PortHandle handle, std::uint32_t mask)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Device* device = OpenDevice(m_devices, handle);
    if (!device)
        return false;
    device->eventMask = mask;
    return true;
}

bool SimulatedBackend::GetLineState(PortHandle handle, LineState& state)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Device* device = OpenDevice(m_devices, handle);
    if (!device)
        return false;
    state = device->lineState;
    return true;
}

bool SimulatedBackend::BuildLineState(const char* settings, LineState& state)
{
    return ParseLineSettings(settings, state) || Fail(EINVAL);
}

bool SimulatedBackend::SetLineState(PortHandle handle, const LineState& state)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Device* device = OpenDevice(m_devices, handle);
    if (!device)
        return false;
    if (state.BaudRate == 0 || state.ByteSize < 5 || state.ByteSize > 8)
        return Fail(EINVAL);
    device->lineState = state;
    return true;
}

bool SimulatedBackend::Purge(PortHandle handle, std::uint32_t flags)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Device* device = OpenDevice(m_devices, handle);
    if (!device)
        return false;
    // Input: what has reached the tool's side and is unread is discarded; bytes still
    // on the wire or in the adapter arrive later. Output: the tool's bytes are on the
    // wire as soon as they are written, so there is nothing left to discard.
    if (flags & SERIAL_PURGE_RXCLEAR) {
        const std::int64_t now = Now();
        device->Advance(now);
        device->output.erase(device->output.begin(),
                             device->output.begin() + static_cast<std::ptrdiff_t>(device->Readable(now)));
    }
    return true;
}

CommWaitStart SimulatedBackend::StartCommWait(PortHandle handle, std::uint32_t* eventWord, PortOverlapped& overlapped)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Device* device = OpenDevice(m_devices, handle);
    if (!device || !overlapped.hEvent) {
        Fail(EBADF);
        return CommWaitStart::Failed;
    }
    auto* event = static_cast<Event*>(overlapped.hEvent);
    if (event->armedDevice == device && !event->set)
        return CommWaitStart::Pending;  // the wait of an earlier call still runs
    event->set = false;
    Disarm(event);
    if (device->armedEvent)
        Disarm(device->armedEvent);
    event->armedDevice = device;
    event->armedWord = eventWord;
    device->armedEvent = event;
    device->eventWord = eventWord;
    return CommWaitStart::Pending;
}

int SimulatedBackend::WaitForEvents(const EventHandle* handles, unsigned count, unsigned timeoutMs)
{
    if (count == 0 || count > 3) {
        Fail(EINVAL);
        return SERIAL_WAIT_FAILED;
    }
    const bool timed = timeoutMs != SERIAL_WAIT_INFINITE;
    std::unique_lock<std::mutex> lock(m_lock);
    const std::int64_t deadline = timed ? Now() + static_cast<std::int64_t>(timeoutMs) * NS_PER_MS : NEVER;
    for (;;) {
        const std::int64_t now = Now();
        std::int64_t wake = deadline;
        // Lowest index first: a port armed below a set event that has bytes (or has
        // hung up) completes its wait and is served first, as the system's wait does.
        for (unsigned i = 0; i < count; ++i) {
            auto* event = static_cast<Event*>(handles[i]);
            if (Device* device = event->armedDevice) {
                device->Advance(now);
                if (device->Readable(now) > 0 || device->hungUp) {
                    if (event->armedWord)
                        *event->armedWord = SERIAL_EV_RXCHAR;
                    Disarm(event);
                    event->set = true;
                } else {
                    wake = std::min(wake, device->NextDue());
                }
            }
            if (event->set)
                return static_cast<int>(i);
        }
        if (timed && now >= deadline)
            return SERIAL_WAIT_TIMEOUT;
        if (wake == NEVER)
            m_changed.wait(lock);
        else
            m_changed.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(wake)));
    }
}

bool SimulatedBackend::GetBytesWaiting(PortHandle handle, std::uint32_t& waiting)
{
    std::lock_guard<std::mutex> lock(m_lock);
    waiting = 0;
    Device* device = OpenDevice(m_devices, handle);
    if (!device)
        return false;
    const std::int64_t now = Now();
    device->Advance(now);
    waiting = static_cast<std::uint32_t>(device->Readable(now));
    if (waiting == 0 && device->hungUp)
        waiting = 1;  // let the read report the hang-up
    return true;
}

PortIo SimulatedBackend::ReadPort(PortHandle handle, std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& got)
{
    std::lock_guard<std::mutex> lock(m_lock);
    got = 0;
    Device* device = OpenDevice(m_devices, handle);
    if (!device)
        return PortIo::FailedStart;
    const std::int64_t now = Now();
    device->Advance(now);
    const std::size_t n = std::min<std::size_t>(capacity, device->Readable(now));
    if (n == 0) {
        Fail(EIO);  // nothing to read: the line is gone, or nothing was waiting
        return PortIo::FailedStart;
    }
    bool eventChar = false;
    for (std::size_t i = 0; i < n; ++i) {
        buffer[i] = device->output[i].byte;
        eventChar = eventChar || buffer[i] == static_cast<std::uint8_t>(device->lineState.EvtChar);
    }
    device->output.erase(device->output.begin(), device->output.begin() + static_cast<std::ptrdiff_t>(n));
    got = static_cast<std::uint32_t>(n);
    // No driver raises the event-character event here: the read does, as on POSIX.
    if ((device->eventMask & SERIAL_EV_RXFLAG) && device->eventWord && eventChar)
        *device->eventWord |= SERIAL_EV_RXFLAG;
    return PortIo::Done;
}

PortIo SimulatedBackend::WritePort(PortHandle handle, const std::uint8_t* data, std::uint32_t count,
                                   std::uint32_t& sent, EventHandle abortEvent)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        sent = 0;
        Device* device = OpenDevice(m_devices, handle);
        if (!device)
            return PortIo::FailedStart;
        if (abortEvent && static_cast<Event*>(abortEvent)->set)
            return PortIo::Aborted;
        const std::int64_t now = Now();
        device->Advance(now);
        if (device->hungUp) {
            Fail(EIO);
            return PortIo::FailedStart;
        }
        device->Write(data, count, now);
        sent = count;
    }
    m_changed.notify_all();  // new replies: a wait on this port has a new time to wake
    return PortIo::Done;
}

void SimulatedBackend::ClosePort(PortHandle handle)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Device* device = OpenDevice(m_devices, handle);
        if (!device)
            return;
        if (device->armedEvent)
            Disarm(device->armedEvent);
        device->eventWord = nullptr;
        device->Closed(Now());
    }
    m_changed.notify_all();
}

PortFailure SimulatedBackend::LastFailureKind(PortHandle handle)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (const auto& entry : m_devices) {
        if (entry.second.get() == handle && entry.second->hungUp)
            return PortFailure::Gone;
    }
    switch (t_lastError) {
    case EBADF:
    case ENOENT:
        return PortFailure::Gone;
    case EIO:
        return PortFailure::Suspect;
    default:
        return PortFailure::Transient;
    }
}

std::uint32_t SimulatedBackend::LastErrorCode()
{
    return static_cast<std::uint32_t>(t_lastError);
}

std::string SimulatedBackend::LastErrorText()
{
    return std::generic_category().message(t_lastError);
}

}  // namespace sim
