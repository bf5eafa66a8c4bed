#include "console/ToolRunner.h"

#include "common/FileReader.h"
#include "console/ImageCheck.h"
#include "console/PortCheck.h"
#include "console/PortList.h"
#include "platform/PortNames.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Set when standard error shows a bar, so that an interrupt ends the bar's line.
volatile std::sig_atomic_t g_barOnTerminal = 0;

extern "C" void OnInterrupt(int signal)
{
    if (g_barOnTerminal) {
        const char newline = '\n';
        ssize_t ignored = ::write(STDERR_FILENO, &newline, 1);  // nothing to do if it fails
        (void)ignored;
    }
    ::_exit(128 + signal);
}

// A progress bar needs a terminal that understands "\r\033[K".
bool TerminalTakesBar()
{
    if (::isatty(STDERR_FILENO) != 1)
        return false;
    const char* term = std::getenv("TERM");
    return term && *term && std::strcmp(term, "dumb") != 0;
}

// --list-ports. SUITE_SYSTEM_ROOT points the listing at a copy of sys/ and dev/ (tests).
int ListPorts(bool json)
{
    return PrintPortList(json);
}

const char* StatusWord(int status)
{
    switch (status) {
    case EXIT_STATUS_SUCCESS:
        return "success";
    case EXIT_STATUS_TIMEOUT:
        return "timeout";
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
    std::vector<std::string> args(argv + 1, argv + argc);
    CommandLine cl;
    std::string mistake = ParseCommandLine(traits, args, cl);
    if (!mistake.empty()) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", traits.name, mistake.c_str(),
                     traits.name);
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

    std::signal(SIGPIPE, SIG_IGN);
    const bool bar = !cl.json && TerminalTakesBar();
    g_barOnTerminal = bar ? 1 : 0;
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    ConsoleReporter reporter(stdout, stderr, bar, ConsoleReporter::TerminalWidth(stderr));
    std::string portName = cl.simulate ? std::string("simulated") : cl.port;
    auto jsonPrefix = [&traits, &portName] {
        return "\"tool\":" + JsonString(traits.name) + ",\"port\":" + JsonString(portName);
    };
    if (cl.json)
        reporter.SetJson(jsonPrefix());

    // Declared before the host, so that the port closes before the device's end does.
    std::unique_ptr<sim::SimDevice> device;
    auto host = std::make_unique<ConsoleHost>(traits.name, reporter, cl.trace, cl.timeoutSeconds);
    std::unique_ptr<ConsoleProgram> program = factory(*host);
    host->SetTool(program.get());
    host->SetStallLimit(cl.stallSeconds);
    program->Configure(cl);

    bool runBegan = false;
    RunFigures figures;
    double seconds = 0;
    std::string successText;
    // Ends the run: the summary, then the success text or the JSON result, last.
    auto conclude = [&](int status) -> int {
        if (runBegan) {
            const double rate = seconds > 0 ? static_cast<double>(figures.bytes) / seconds / 1000 : 0;
            std::string counts = std::to_string(figures.done);
            if (status != EXIT_STATUS_SUCCESS && figures.total > 0)
                counts += " of " + std::to_string(figures.total);
            reporter.Status(std::string(traits.name) + ": " +
                            (status == EXIT_STATUS_SUCCESS ? "done in " : "stopped after ") + Seconds(seconds, "%.1f") +
                            " s: " + counts + " " + traits.unitName + ", " +
                            Thousands(static_cast<unsigned long long>(figures.bytes)) + " bytes, " +
                            Seconds(rate, "%.1f") + " kB/s");
        }
        if (cl.json) {
            const std::string error = status == EXIT_STATUS_SUCCESS ? "null" : JsonString(reporter.LastFailure());
            reporter.Output(
                "{\"event\":\"result\"," + jsonPrefix() + ",\"status\":" + JsonString(StatusWord(status)) +
                ",\"exit\":" + std::to_string(status) + ",\"" + traits.unitName + "\":" + std::to_string(figures.done) +
                ",\"total\":" + std::to_string(figures.total) + ",\"bytes\":" + std::to_string(figures.bytes) +
                ",\"seconds\":" + Seconds(seconds) + ",\"error\":" + error +
                ",\"message\":" + (successText.empty() ? std::string("null") : JsonString(successText)) + "}");
        } else if (status == EXIT_STATUS_SUCCESS) {
            reporter.Output(successText);
        }
        if (reporter.OutputFailed()) {
            std::fprintf(stderr, "%s: cannot write to standard output: %s\n", traits.name,
                         std::strerror(reporter.OutputError()));
            return EXIT_STATUS_FAILURE;
        }
        return status;
    };

    if (!program->LoadImage(cl.image))
        return conclude(EXIT_STATUS_FAILURE);

    if (cl.simulate) {
        sim::SimOptions options;
        options.loader = program->SimLoader();
        options.baud = static_cast<unsigned>(program->Line().baud);
        program->DescribeJob(options);
        device = std::make_unique<sim::SimDevice>(options);
        std::string error;
        if (!device->Start(error)) {
            reporter.Failure(std::string(traits.name) + ": cannot start the simulated device: " + error);
            return conclude(EXIT_STATUS_FAILURE);
        }
        portName = device->SlavePath();
        if (cl.json)
            reporter.SetJson(jsonPrefix());
        reporter.Status("Simulated device on " + portName);
    }

    // "COMn" opens the platform's port n; anything else is a device path.
    unsigned portnr = ParseComName(portName.c_str());
    if (portnr == 0) {
        portnr = 1;
        SetPortDevice(portnr, portName);
    }
    host->SetPortName(portName);

    if (!host->OpenPort(portnr, program->Line())) {
        reporter.Failure(PortFailureMessage(traits.name, portName));
        return conclude(EXIT_STATUS_FAILURE);
    }
    if (!program->Begin())
        return conclude(EXIT_STATUS_FAILURE);

    runBegan = true;
    int status = host->Run();
    seconds = host->RunSeconds();
    figures = program->Figures();
    successText = host->SuccessMessage();

    program.reset();
    host.reset();
    if (device) {
        if (status == EXIT_STATUS_SUCCESS)
            device->WaitFinished(2000);
        device->Stop();
        sim::SimReport report = device->Report();
        reporter.Status("Simulated device: " + std::to_string(report.framesReceived) + " frames received, " +
                        std::to_string(report.errorCount) + " errors, " + std::to_string(report.bytesWritten) +
                        " bytes written");
        // A success the device does not confirm is no success.
        if (status == EXIT_STATUS_SUCCESS && !report.AllChecked()) {
            for (const std::string& error : report.errors)
                reporter.Status("  " + error);
            reporter.Failure(std::string(traits.name) + ": the simulated device did not receive the whole job intact");
            status = EXIT_STATUS_FAILURE;
            successText.clear();
        }
    }
    return conclude(status);
}
