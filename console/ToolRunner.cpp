#include "console/ToolRunner.h"

#include "common/FileReader.h"
#include "common/Sha256.h"
#include "console/BoardLog.h"
#include "console/ImageCheck.h"
#include "console/PortCheck.h"
#include "console/PortList.h"
#include "console/Station.h"
#include "console/StationScreen.h"
#include "console/System.h"
#include "platform/LowLatency.h"
#include "platform/SerialBackend.h"
#include "sim/SimulatedBackend.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

namespace {

// --list-ports. SUITE_SYSTEM_ROOT points the listing at a copy of sys/ and dev/ (tests).
int ListPorts(bool json)
{
    return PrintPortList(json);
}

// --ports FILE: one port a line; blank lines and # comments are skipped.
bool ReadPortsFile(const std::string& path, std::vector<std::string>& ports, std::string& error)
{
    std::ifstream file(std::filesystem::u8path(path));
    if (!file) {
        error = std::string("cannot read ") + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    while (std::getline(file, line)) {
        if (auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
            continue;
        const auto last = line.find_last_not_of(" \t\r");
        ports.push_back(line.substr(first, last - first + 1));
    }
    if (file.bad()) {
        error = std::string("cannot read ") + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string Fixed(double value, const char* format)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Pad(const std::string& text, std::size_t width)
{
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

bool ReadToolImage(ConsoleHost& host, const std::string& program, const std::string& path, std::size_t limit, bool cut,
                   std::vector<std::uint8_t>& bytes)
{
    ConsoleReporter& reporter = host.Reporter();
    FileHead head = ReadFileHead(path, limit);
    if (!head.Ok()) {
        reporter.Failure(program + ": " + path + ": " + head.error);
        return false;
    }
    if (head.longer) {
        const std::string size = head.length > limit ? Thousands(head.length) + " bytes" : "more bytes";
        if (!cut) {
            reporter.Failure(program + ": " + path + " is " + size + ", larger than the " + Thousands(limit) +
                             " bytes " + program + " takes; use --cut to send only its first " + Thousands(limit) +
                             " bytes");
            return false;
        }
        reporter.Status(program + ": warning: only the first " + Thousands(limit) + " of the " + size + " of " + path +
                        " are sent (--cut)");
    }
    const ImageTextKind kind = DetectImageText(head.bytes);
    if (kind != IMAGE_RAW)
        reporter.Status(program + ": warning: " + path + " looks like " + ImageTextName(kind) +
                        " text; it is sent as raw bytes (its characters), not decoded, as the Windows program "
                        "does. Convert it to a binary image first if the device expects the decoded data.");
    bytes = std::move(head.bytes);
    return true;
}

int RunConsoleProgram(const ToolTraits& traits, int argc, char** argv, const ProgramFactory& factory)
{
    PrepareStandardStreams();
    const std::vector<std::string> args = ProgramArguments(argc, argv);
    CommandLine cl;
    std::string mistake = ParseCommandLine(traits, args, cl);
    if (mistake.empty() && !cl.portsFile.empty() && !cl.help && !cl.version &&
        !ReadPortsFile(cl.portsFile, cl.ports, mistake))
        mistake = "--ports: " + mistake;
    if (mistake.empty() && !cl.portsFile.empty() && cl.ports.empty() && !cl.help && !cl.version)
        mistake = "--ports " + cl.portsFile + " names no port";
    for (std::size_t i = 0; mistake.empty() && i < cl.ports.size(); ++i)
        if (std::find(cl.ports.begin(), cl.ports.begin() + static_cast<long>(i), cl.ports[i]) !=
            cl.ports.begin() + static_cast<long>(i))
            mistake = "the port " + cl.ports[i] + " is given twice: one station a port";
    if (!mistake.empty()) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", traits.name, mistake.c_str(),
                     CommandName(traits).c_str());
        return EXIT_STATUS_USAGE;
    }
    if (cl.help || cl.version) {
        std::fputs((cl.help ? UsageText(traits) : VersionText(traits)).c_str(), stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout))
            return EXIT_STATUS_FAILURE;
        return EXIT_STATUS_SUCCESS;
    }
    if (cl.listPorts)
        return ListPorts(cl.json);
    if (cl.doctor) {
        if (cl.ports.empty())
            return PrintDoctor("");
        int status = EXIT_STATUS_SUCCESS;
        for (const std::string& port : cl.ports)
            if (PrintDoctor(port) != EXIT_STATUS_SUCCESS)
                status = EXIT_STATUS_FAILURE;
        return status;
    }

    // Ports are opened with low latency asked of the driver unless --no-low-latency.
    SetLowLatencyRequest(cl.lowLatency);
    // Before any thread starts, so that every thread inherits the signal mask.
    InterruptWatcher::Block();

    std::vector<std::string> names = cl.ports;
    if (cl.simulate) {
        const long count = cl.stations > 0 ? cl.stations : 1;
        names.clear();
        for (long i = 1; i <= count; ++i)
            names.push_back(count == 1 ? std::string("simulated") : "sim-" + std::to_string(i));
    }
    const bool several = names.size() > 1;
    const bool bar = TerminalTakesBar(stderr);

    RunContext context;
    context.traits = &traits;
    context.cl = &cl;
    context.factory = &factory;
    context.bar = bar;
    context.hostName = HostName();
    if (const char* root = std::getenv("SUITE_SYSTEM_ROOT"))
        context.systemRoot = root;
    std::unique_ptr<StationScreen> screen;
    if (several) {
        screen = std::make_unique<StationScreen>(stdout, stderr, bar, TerminalWidth(stderr));
        context.screen = screen.get();
    }

    // The image is read and checked once, before any port is opened, so that a wrong
    // image never touches a device; its warnings are shown here, once.
    {
        ConsoleReporter reporter(stdout, stderr, false, 80);
        ConsoleHost host(traits.name, reporter, false, 0);
        std::unique_ptr<ConsoleProgram> program = factory(host);
        program->Configure(cl);
        if (!program->LoadImage(cl.image)) {
            if (cl.json) {
                const std::string port = names.size() == 1 ? names[0] : std::string();
                // The result of a run that never began: nothing acknowledged.
                reporter.Output("{\"event\":\"result\",\"tool\":" + JsonString(traits.name) +
                                ",\"port\":" + JsonString(port) +
                                ",\"identity\":null,\"board\":1,\"try\":1,\"status\":\"failure\","
                                "\"result\":\"failure\",\"exit\":1,\"" +
                                traits.unitName + "\":0,\"total\":0,\"bytes\":0,\"seconds\":0.000,\"error\":" +
                                JsonString(reporter.LastFailure()) + ",\"message\":null}");
            }
            return EXIT_STATUS_FAILURE;
        }
        if (traits.takesImage) {
            const std::vector<std::uint8_t> image = program->ImageBytes();
            context.imageFile = cl.image;
            context.imageSize = static_cast<long long>(image.size());
            context.imageSha256 = Sha256Hex(image.data(), image.size());
        }
    }

    BoardLog log;
    if (!cl.logPath.empty()) {
        std::string error;
        if (!log.Open(cl.logPath, error)) {
            std::fprintf(stderr, "%s: cannot open the log %s: %s\n", traits.name, cl.logPath.c_str(), error.c_str());
            return EXIT_STATUS_FAILURE;
        }
        context.log = &log;
    }

    // --simulate: every station's port is a simulated device in this process, each
    // station registering its own. Installed before any monitor thread runs, taken
    // out again once every station has ended.
    sim::SimulatedBackend simulated;
    struct BackendInstall {
        explicit BackendInstall(SerialBackend* backend)
            : installed(backend != nullptr)
        {
            if (installed)
                SetSerialBackendOverride(backend);
        }
        ~BackendInstall()
        {
            if (installed)
                SetSerialBackendOverride(nullptr);
        }
        bool installed;
    };
    if (cl.simulate)
        context.simulated = &simulated;

    std::vector<std::unique_ptr<Station>> stations;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (screen)
            screen->Add(names[i]);
        stations.push_back(std::make_unique<Station>(context, static_cast<int>(i), names[i]));
    }
    EnterKey enter;
    if (cl.repeat && !cl.simulate && !traits.deviceSpeaksFirst)
        enter.Start();
    context.enter = &enter;

    // The first interrupt ends every station's board where it is; a new width of the
    // terminal goes to the bars.
    InterruptWatcher interrupts;
    interrupts.Start(
        [&](int signal) {
            int expected = 0;
            if (!context.interrupted.compare_exchange_strong(expected, signal))
                return;
            for (auto& station : stations)
                station->Interrupt(signal);
        },
        [&](int width) {
            if (context.screen)
                context.screen->SetWidth(width);
            for (auto& station : stations)
                station->SetWidth(width);
        });

    std::vector<std::thread> threads;
    {
        const BackendInstall install(context.simulated);
        for (auto& station : stations)
            threads.emplace_back([&station] { station->Run(); });
        for (std::thread& thread : threads)
            thread.join();
    }
    if (screen)
        screen->Finish();

    const int signal = context.interrupted.load();
    bool interrupted = false;
    long boards = 0, succeeded = 0;
    double seconds = 0;
    for (const auto& station : stations) {
        const StationTotals& t = station->Totals();
        boards += t.boards;
        succeeded += t.succeeded;
        seconds += t.seconds;
        interrupted = interrupted || t.interrupted;
    }

    if (boards == 0 && signal)
        return 128 + signal;  // interrupted before any board began
    if (!several && !cl.repeat) {
        const StationTotals& t = stations[0]->Totals();
        if (context.logFailed && t.lastStatus == EXIT_STATUS_SUCCESS)
            return EXIT_STATUS_FAILURE;
        return t.lastStatus;
    }

    // The summary of the run: a table of the stations (or a JSON object), then the
    // boards' count.
    const double mean = boards > 0 ? seconds / static_cast<double>(boards) : 0;
    bool outputOk = true;
    auto out = [&](const std::string& line) {
        const bool ok = screen ? screen->Out(line) : (std::printf("%s\n", line.c_str()) >= 0);
        outputOk = outputOk && ok;
    };
    if (cl.json) {
        std::string list;
        for (const auto& station : stations) {
            const StationTotals& t = station->Totals();
            if (!list.empty())
                list += ",";
            list += "{\"port\":" + JsonString(station->Name()) + ",\"identity\":" + AdapterJson(t.adapter) +
                    ",\"boards\":" + std::to_string(t.boards) + ",\"succeeded\":" + std::to_string(t.succeeded) +
                    ",\"failed\":" + std::to_string(t.boards - t.succeeded) +
                    ",\"result\":" + JsonString(t.lastResult.empty() ? "none" : t.lastResult) +
                    ",\"seconds\":" + Fixed(t.seconds, "%.3f") + ",\"bytes\":" + std::to_string(t.bytes) +
                    ",\"error\":" + (t.lastError.empty() ? std::string("null") : JsonString(t.lastError)) + "}";
        }
        const int exitStatus = interrupted ? 128 + signal : (succeeded == boards && boards > 0 ? 0 : 1);
        out("{\"event\":\"summary\",\"tool\":" + JsonString(traits.name) + ",\"stations\":[" + list +
            "],\"boards\":" + std::to_string(boards) + ",\"succeeded\":" + std::to_string(succeeded) +
            ",\"failed\":" + std::to_string(boards - succeeded) + ",\"mean_seconds\":" + Fixed(mean, "%.3f") +
            ",\"interrupted\":" + (interrupted ? "true" : "false") + ",\"exit\":" + std::to_string(exitStatus) + "}");
    } else {
        std::size_t portWidth = 8, idWidth = 9, resultWidth = 12;
        for (const auto& station : stations) {
            portWidth = std::max(portWidth, station->Name().size() + 1);
            idWidth = std::max(idWidth, AdapterWords(station->Totals().adapter).size() + 1);
            if (station->Totals().boards > 1)
                resultWidth = 20;
        }
        out(Pad("station", portWidth) + Pad("identity", idWidth) + Pad("result", resultWidth) + Pad("boards", 8) +
            Pad("time", 10) + "bytes");
        for (const auto& station : stations) {
            const StationTotals& t = station->Totals();
            std::string result = t.lastResult.empty() ? std::string("none") : t.lastResult;
            if (t.boards > 1)
                result = std::to_string(t.succeeded) + " ok, " + std::to_string(t.boards - t.succeeded) + " failed";
            const double stationMean = t.boards > 0 ? t.seconds / static_cast<double>(t.boards) : 0;
            out(Pad(station->Name(), portWidth) + Pad(AdapterWords(t.adapter), idWidth) + Pad(result, resultWidth) +
                Pad(std::to_string(t.boards), 8) + Pad(Fixed(stationMean, "%.1f s"), 10) +
                Thousands(static_cast<unsigned long long>(t.bytes)));
        }
        for (const auto& station : stations) {
            const StationTotals& t = station->Totals();
            if (!t.lastError.empty() && t.lastStatus != EXIT_STATUS_SUCCESS)
                out(station->Name() + ": " + t.lastError);
        }
        out(std::string(traits.name) + ": " + std::to_string(boards) + (boards == 1 ? " board" : " boards") + ": " +
            std::to_string(succeeded) + " done, " + std::to_string(boards - succeeded) + " failed, mean time " +
            Fixed(mean, "%.1f") + " s" + (signal ? " (interrupted)" : ""));
    }
    if (!outputOk || std::fflush(stdout) != 0)
        return EXIT_STATUS_FAILURE;
    if (interrupted)
        return 128 + signal;
    if (context.logFailed)
        return EXIT_STATUS_FAILURE;
    return succeeded == boards && boards > 0 ? EXIT_STATUS_SUCCESS : EXIT_STATUS_FAILURE;
}
