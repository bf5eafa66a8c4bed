#include "console/Station.h"

#include "console/ImageCheck.h"
#include "console/PortCheck.h"
#include "console/PortList.h"
#include "console/StationScreen.h"
#include "console/System.h"
#include "console/UsbPortName.h"
#include "platform/PortNames.h"
#include "sim/SimulatedBackend.h"

#include <chrono>
#include <filesystem>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

// How often a waiting station looks for its port.
constexpr auto PORT_POLL = std::chrono::milliseconds(100);
// A port that has come back gets this long to settle (its permissions set by udev)
// before it is opened.
constexpr auto PORT_SETTLE = std::chrono::milliseconds(300);
// Stations' ports are numbered from here when they are paths, clear of COM1, COM2, ...
constexpr unsigned STATION_PORT_BASE = 1000;

const char* ResultWord(RunEnd end)
{
    switch (end) {
    case RUN_END_SUCCESS:
        return "success";
    case RUN_END_TIMEOUT:
        return "timeout";
    case RUN_END_STALL:
        return "stall";
    case RUN_END_INTERRUPTED:
        return "interrupted";
    case RUN_END_NONE:
    case RUN_END_FAILURE:
        break;
    }
    return "failure";
}

const char* StatusWord(int status)
{
    switch (status) {
    case EXIT_STATUS_SUCCESS:
        return "success";
    case EXIT_STATUS_TIMEOUT:
        return "timeout";
    case EXIT_STATUS_INTERRUPTED:
    case EXIT_STATUS_TERMINATED:
        return "interrupted";
    default:
        return "failure";
    }
}

std::string Seconds(double seconds, const char* format = "%.3f")
{
    char text[32];
    std::snprintf(text, sizeof text, format, seconds);
    return text;
}

AdapterIdentity IdentityOf(const SerialPortInfo& info, const std::string& device)
{
    AdapterIdentity id;
    id.device = device;
    if (info.usb) {
        id.vendorId = info.vendorId;
        id.productId = info.productId;
        id.manufacturer = info.manufacturer;
        id.product = info.product;
        id.serial = info.serial;
        id.usbPath = info.usbPath;
    }
    return id;
}

}  // namespace

void EnterKey::Start()
{
    if (m_bStarted || !InputIsTerminal())
        return;
    m_bStarted = true;
    // The thread blocks in read for the life of the program; it is never joined.
    std::thread([this] {
        char buffer[64];
        for (;;) {
            const long got = ReadInput(buffer, sizeof buffer);
            if (got <= 0)
                return;
            for (long i = 0; i < got; ++i)
                if (buffer[i] == '\n')
                    ++m_nPresses;
        }
    }).detach();
}

Station::Station(RunContext& context, int number, std::string portName)
    : m_context(context),
      m_nNumber(number),
      m_name(std::move(portName))
{
}

void Station::Say(const std::string& text)
{
    const std::string line = std::string(m_context.traits->name) + ": " + text;
    if (m_context.screen)
        m_context.screen->Line(m_nNumber, line);
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

void Station::Interrupt(int signal)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pHost)
        m_pHost->Interrupt(signal);
    m_wake.notify_all();
}

void Station::SetWidth(int width)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pReporter)
        m_pReporter->SetWidth(width);
}

bool Station::PortPresent(std::uint64_t* identity) const
{
    const CommandLine& cl = *m_context.cl;
    if (cl.simulate)
        return true;
    std::string path = m_name;
    if (IsUsbPortName(m_name)) {
        const PortResolution found = ResolvePortName(m_name, m_context.systemRoot);
        if (!found.ok)
            return false;
        path = found.path;
    }
    return PortDevicePresent(path, identity);
}

bool Station::WaitForPort()
{
    bool waited = false;
    for (;;) {
        if (Stopping())
            return false;
        if (PortPresent(nullptr))
            break;
        if (!waited)
            Say("waiting for " + m_name + " to come back");
        waited = true;
        std::unique_lock<std::mutex> lock(m_lock);
        m_wake.wait_for(lock, PORT_POLL);
    }
    if (waited) {
        m_bLatencyUnknown = true;  // perhaps another adapter
        std::this_thread::sleep_for(PORT_SETTLE);
    }
    return !Stopping();
}

bool Station::WaitForNextBoard()
{
    const CommandLine& cl = *m_context.cl;
    if (cl.simulate)
        return !Stopping();  // a new simulated board is there at once
    EnterKey* enter = m_context.enter;
    const bool byEnter = enter && enter->Available();
    const long presses = byEnter ? enter->Presses() : 0;
    Say("waiting for the next board on " + m_name + ": unplug the last one and plug in the next" +
        (byEnter ? ", or press Enter when it is in place" : "") + " (Ctrl-C ends)");
    bool sawGone = false;
    for (;;) {
        if (Stopping())
            return false;
        std::uint64_t device = 0;
        const bool present = PortPresent(&device);
        if (!present)
            sawGone = true;
        else if (sawGone || (device != m_lastDevice && m_lastDevice != 0))
            break;
        if (byEnter && enter->Presses() != presses)
            break;
        std::unique_lock<std::mutex> lock(m_lock);
        m_wake.wait_for(lock, PORT_POLL);
    }
    if (sawGone) {
        m_bLatencyUnknown = true;
        std::this_thread::sleep_for(PORT_SETTLE);
    }
    return !Stopping();
}

void Station::Run()
{
    const CommandLine& cl = *m_context.cl;
    const long attempts = 1 + cl.retries;
    const bool deviceLeads = m_context.traits->deviceSpeaksFirst;
    bool nextBoardHere = true;  // the first board; or a port that went away and is back
    for (long board = 1; !Stopping(); ++board) {
        if (!nextBoardHere && !deviceLeads && !WaitForNextBoard())
            break;
        nextBoardHere = false;
        Outcome outcome;
        long attempt = 1;
        bool recorded = false;
        while (!Stopping()) {
            // A loader that speaks first is the sign of the next board: its run waits
            // for it, as long as it takes.
            const bool waiting = deviceLeads && (board > 1 || attempt > 1);
            outcome = RunBoard(board, attempt, waiting);
            if (outcome.left) {
                // The board went away before its loader spoke: it is being changed.
                if (!WaitForPort())
                    break;
                continue;
            }
            recorded = true;
            if (outcome.status == EXIT_STATUS_SUCCESS || outcome.end == RUN_END_INTERRUPTED || outcome.openFailed ||
                attempt >= attempts)
                break;
            ++attempt;
            Say("running the board again from its start (try " + std::to_string(attempt) + " of " +
                std::to_string(attempts) + ")");
            if (outcome.lost && !WaitForPort())
                break;
        }
        if (!recorded)
            break;
        ++m_totals.boards;
        if (outcome.status == EXIT_STATUS_SUCCESS)
            ++m_totals.succeeded;
        if (outcome.openFailed || !cl.repeat || outcome.end == RUN_END_INTERRUPTED)
            break;
        if (cl.count > 0 && board >= cl.count)
            break;
        if (outcome.lost && !deviceLeads) {
            // The board went away in the middle of its run: the port coming back is
            // the next board.
            if (!WaitForPort())
                break;
            nextBoardHere = true;
        }
    }
}

Station::Outcome Station::RunBoard(long board, long attempt, bool waiting)
{
    const ToolTraits& traits = *m_context.traits;
    const CommandLine& cl = *m_context.cl;
    Outcome outcome;
    BoardRecord record;
    record.startUtc = UtcNow();
    record.tool = traits.name;
    record.version = SuiteVersion();
    record.host = m_context.hostName;
    record.port = m_name;
    record.imageFile = m_context.imageFile;
    record.imageSize = m_context.imageSize;
    record.imageSha256 = m_context.imageSha256;
    record.unitName = traits.unitName;
    record.board = board;
    record.attempt = attempt;
    record.attempts = 1 + cl.retries;

    std::unique_ptr<ConsoleReporter> reporter;
    if (m_context.screen)
        reporter = std::make_unique<ConsoleReporter>(*m_context.screen, m_nNumber);
    else
        reporter = std::make_unique<ConsoleReporter>(stdout, stderr, m_context.bar, TerminalWidth(stderr));
    std::string portName = m_name;  // the port as the messages and the JSON name it
    AdapterIdentity adapter;
    auto jsonPrefix = [&] {
        return "\"tool\":" + JsonString(traits.name) + ",\"port\":" + JsonString(portName) +
               ",\"identity\":" + AdapterJson(adapter);
    };
    if (cl.json)
        reporter->SetJson(jsonPrefix());

    // With --simulate: the name of this board's simulated device ("COMn", the port the
    // station opens), registered with the in-process back end; empty: none.
    std::string simulatedPort;
    auto host = std::make_unique<ConsoleHost>(traits.name, *reporter, cl.trace, waiting ? 0 : cl.timeoutSeconds);
    std::unique_ptr<ConsoleProgram> program = (*m_context.factory)(*host);
    host->SetTool(program.get());
    host->SetStallLimit(cl.stallSeconds);
    host->SetImageTool(traits.takesImage);
    program->Configure(cl);

    bool runBegan = false;
    RunFigures figures;
    double seconds = 0;
    std::string successText;
    int status = EXIT_STATUS_FAILURE;

    if (cl.repeat || attempt > 1)
        reporter->Status(std::string(traits.name) + ": board " + std::to_string(board) +
                         (attempt > 1 ? ", try " + std::to_string(attempt) + " of " + std::to_string(record.attempts)
                                      : std::string()));
    // The image was checked before any station started: its warnings are not repeated.
    reporter->SetQuiet(true);
    const bool loaded = program->LoadImage(cl.image);
    reporter->SetQuiet(false);
    if (loaded && cl.simulate) {
        // A new device for every board and try, on the port number of this station.
        sim::SimOptions options;
        options.loader = program->SimLoader();
        options.baud = static_cast<unsigned>(program->Line().baud);
        program->DescribeJob(options);
        const std::string name = "COM" + std::to_string(STATION_PORT_BASE + static_cast<unsigned>(m_nNumber));
        std::string error;
        if (m_context.simulated && m_context.simulated->AddDevice(name, options, error)) {
            simulatedPort = name;
            reporter->Status("Simulated device on " + name + " (in this process)");
        } else {
            if (!m_context.simulated)
                error = "no simulated ports in this run";
            reporter->Failure(std::string(traits.name) + ": cannot start the simulated device: " + error);
            outcome.openFailed = true;
        }
    }
    std::string path = portName;
    std::string ttyName;  // the adapter's tty in sysfs ("ttyUSB0"), when it is a listed one
    if (loaded && !outcome.openFailed && !cl.simulate) {
        const PortResolution found = ResolvePortName(m_name, m_context.systemRoot);
        if (!found.ok) {
            reporter->Failure(std::string(traits.name) + ": " + found.error);
            outcome.openFailed = true;
        } else {
            path = found.path;
            adapter = IdentityOf(found.info, path);
            if (found.info.usb)
                ttyName = std::filesystem::path(found.info.path).filename().string();
            if (path != m_name)
                reporter->Status(m_name + " is " + path);
        }
    }
    if (adapter.device.empty())
        adapter.device = path;
    record.adapter = adapter;
    if (cl.json)
        reporter->SetJson(jsonPrefix());

    if (loaded && !outcome.openFailed) {
        // "COMn" opens the platform's port n; anything else is a device path. A
        // simulated device is opened by its own port name.
        unsigned portnr = ParseComName(simulatedPort.empty() ? path.c_str() : simulatedPort.c_str());
        if (portnr == 0) {
            portnr = STATION_PORT_BASE + static_cast<unsigned>(m_nNumber);
            SetPortDevice(portnr, path);
        }
        host->SetPortName(path);
        if (waiting)
            host->SetWaitingText(std::string(traits.name) + ": waiting for the next board on " + path +
                                 " (its loader's start reply; Ctrl-C ends)");
        const bool opened = host->OpenPort(portnr, program->Line());
        if (!opened) {
            reporter->Failure(PortFailureMessage(traits.name, path));
            outcome.openFailed = true;
        } else if (!ttyName.empty() && m_bLatencyUnknown) {
            // Read once the port is open: asking for low latency may have lowered it.
            // Once for each adapter that comes, not for every board behind one.
            m_bLatencyUnknown = false;
            const int ms = LatencyTimerMs(m_context.systemRoot, ttyName);
            if (ms > LATENCY_TIMER_WARN_MS)
                reporter->Status(LatencyTimerWarning(traits.name, path, ttyName, ms, program->ReplyCount()));
        }
        if (opened && program->Begin()) {
            runBegan = true;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_pHost = host.get();
                m_pReporter = reporter.get();
            }
            // An interrupt that came before the host was known is passed on now.
            if (const int signal = m_context.interrupted.load())
                host->Interrupt(signal);
            status = host->Run();
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_pHost = nullptr;
            }
            seconds = host->RunSeconds();
            figures = program->Figures();
            successText = host->SuccessMessage();
            outcome.end = host->End();
            record.rejections = host->Tally().Rejections();
            record.dataErrors = host->Tally().DataErrors();
            outcome.lost = host->PortLost();
            if (outcome.lost && !host->DeviceHeard() && waiting) {
                outcome.left = true;
            }
        }
        std::uint64_t device = 0;
        if (PortDevicePresent(path, &device))
            m_lastDevice = device;
    }
    if (outcome.end == RUN_END_NONE)
        outcome.end = RUN_END_FAILURE;
    // A port that is gone again when a later board or try was to open it has only
    // gone away once more (a board being changed): no board was there to fail.
    if (outcome.openFailed && (board > 1 || attempt > 1) && !PortPresent(nullptr)) {
        outcome.openFailed = false;
        outcome.left = true;
    }

    program.reset();
    host.reset();
    if (!simulatedPort.empty()) {
        // The port is closed: the device has its verdict.
        m_context.simulated->WaitFinished(simulatedPort, 2000);
        const sim::SimReport report = m_context.simulated->Report(simulatedPort);
        m_context.simulated->RemoveDevice(simulatedPort);
        reporter->Status("Simulated device: " + std::to_string(report.framesReceived) + " frames received, " +
                         std::to_string(report.errorCount) + " errors, " + std::to_string(report.bytesWritten) +
                         " bytes written");
        // A success the device does not confirm is no success.
        if (status == EXIT_STATUS_SUCCESS && !report.AllChecked()) {
            for (const std::string& error : report.errors)
                reporter->Status("  " + error);
            reporter->Failure(std::string(traits.name) + ": the simulated device did not receive the whole job intact");
            status = EXIT_STATUS_FAILURE;
            outcome.end = RUN_END_FAILURE;
            successText.clear();
        }
    }
    outcome.status = status;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pReporter = nullptr;
    }
    if (outcome.left)
        return outcome;  // no board was there: nothing to record

    if (m_context.screen)
        m_context.screen->EndBar(m_nNumber, ResultWord(outcome.end));
    // The summary, then the success text or the JSON result, last.
    if (runBegan) {
        const double rate = seconds > 0 ? static_cast<double>(figures.bytes) / seconds / 1000 : 0;
        std::string counts = std::to_string(figures.done);
        if (status != EXIT_STATUS_SUCCESS && figures.total > 0)
            counts += " of " + std::to_string(figures.total);
        reporter->Status(
            std::string(traits.name) + ": " + (status == EXIT_STATUS_SUCCESS ? "done in " : "stopped after ") +
            Seconds(seconds, "%.1f") + " s: " + counts + " " + traits.unitName + ", " +
            Thousands(static_cast<unsigned long long>(figures.bytes)) + " bytes, " + Seconds(rate, "%.1f") + " kB/s");
    }
    const std::string error = status == EXIT_STATUS_SUCCESS ? std::string() : reporter->LastFailure();
    record.endUtc = UtcNow();
    record.result = ResultWord(outcome.end);
    record.error = error;
    record.seconds = seconds;
    record.units = figures.done;
    record.bytes = figures.bytes;
    if (cl.json) {
        reporter->Output("{\"event\":\"result\"," + jsonPrefix() + ",\"board\":" + std::to_string(board) +
                         ",\"try\":" + std::to_string(attempt) + ",\"status\":" + JsonString(StatusWord(status)) +
                         ",\"result\":" + JsonString(record.result) + ",\"exit\":" + std::to_string(status) + ",\"" +
                         traits.unitName + "\":" + std::to_string(figures.done) +
                         ",\"total\":" + std::to_string(figures.total) + ",\"bytes\":" + std::to_string(figures.bytes) +
                         ",\"seconds\":" + Seconds(seconds) +
                         ",\"error\":" + (error.empty() ? std::string("null") : JsonString(error)) +
                         ",\"message\":" + (successText.empty() ? std::string("null") : JsonString(successText)) + "}");
    } else if (status == EXIT_STATUS_SUCCESS) {
        if (m_context.screen)
            reporter->Status(successText);
        else
            reporter->Output(successText);
    }
    if (m_context.log) {
        std::string logError;
        if (!m_context.log->Append(FormatBoardRecord(record), logError)) {
            Say("cannot write the record of board " + std::to_string(board) + " to " + m_context.cl->logPath + ": " +
                logError);
            m_context.logFailed = true;
        }
    }
    if (reporter->OutputFailed()) {
        Say(std::string("cannot write to standard output: ") + std::strerror(reporter->OutputError()));
        status = EXIT_STATUS_FAILURE;
        outcome.status = status;
    }

    m_totals.seconds += seconds;
    m_totals.bytes += figures.bytes;
    m_totals.lastResult = record.result;
    m_totals.lastError = error;
    m_totals.lastStatus = status;
    m_totals.adapter = adapter;
    if (outcome.end == RUN_END_INTERRUPTED)
        m_totals.interrupted = true;
    return outcome;
}
