#include "console/ToolRunner.h"

#include "platform/PortNames.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Set when standard error shows a bar, so that an interrupt ends the bar's line.
volatile std::sig_atomic_t g_barOnTerminal = 0;

extern "C" void OnInterrupt(int signal)
{
    if (g_barOnTerminal) {
        const char newline = '\n';
        ssize_t ignored = ::write(STDERR_FILENO, &newline, 1); // nothing to do if it fails
        (void)ignored;
    }
    ::_exit(128 + signal);
}

// Why a device could not be opened, as far as the file system tells.
std::string OpenFailureReason(const std::string& device)
{
    if (ParseComName(device.c_str()) != 0)
        return "no such port, or it is in use";
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0)
        return std::strerror(errno);
    if (::access(device.c_str(), R_OK | W_OK) != 0)
        return std::strerror(errno);
    return "not a serial device, or it is in use";
}

} // namespace

int RunConsoleProgram(const ToolTraits& traits, int argc, char** argv, const ProgramFactory& factory)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    CommandLine cl;
    std::string mistake = ParseCommandLine(traits, args, cl);
    if (!mistake.empty()) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", traits.name,
                     mistake.c_str(), traits.name);
        return EXIT_STATUS_USAGE;
    }
    if (cl.help) {
        std::fputs(UsageText(traits).c_str(), stdout);
        return EXIT_STATUS_SUCCESS;
    }
    if (cl.version) {
        std::fputs(VersionText(traits).c_str(), stdout);
        return EXIT_STATUS_SUCCESS;
    }

    std::signal(SIGPIPE, SIG_IGN);
    bool bar = ::isatty(STDERR_FILENO) == 1;
    g_barOnTerminal = bar ? 1 : 0;
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    ConsoleReporter reporter(stdout, stderr, bar, ConsoleReporter::TerminalWidth(stderr));

    // Declared before the host, so that the port closes before the device's end does.
    std::unique_ptr<sim::SimDevice> device;
    auto host = std::make_unique<ConsoleHost>(traits.name, reporter, cl.trace, cl.timeoutSeconds);
    std::unique_ptr<ConsoleProgram> program = factory(*host);
    host->SetTool(program.get());

    if (!program->LoadImage(cl.image))
        return EXIT_STATUS_FAILURE;

    std::string portDevice = cl.port;
    if (cl.simulate) {
        sim::SimOptions options;
        options.loader = program->SimLoader();
        options.baud = static_cast<unsigned>(program->Baud());
        program->DescribeJob(options);
        device = std::make_unique<sim::SimDevice>(options);
        std::string error;
        if (!device->Start(error)) {
            std::fprintf(stderr, "%s: cannot start the simulated device: %s\n", traits.name, error.c_str());
            return EXIT_STATUS_FAILURE;
        }
        portDevice = device->SlavePath();
        reporter.Status("Simulated device on " + portDevice);
    }

    // "COMn" opens the platform's port n; anything else is a device path.
    unsigned portnr = ParseComName(portDevice.c_str());
    if (portnr == 0) {
        portnr = 1;
        SetPortDevice(portnr, portDevice);
    }

    bool opened = host->OpenPort(portnr, program->Baud());
    if (!program->Begin(opened)) {
        if (!opened)
            reporter.Failure(std::string(traits.name) + ": cannot open the serial port " + portDevice +
                             ": " + OpenFailureReason(portDevice));
        return EXIT_STATUS_FAILURE;
    }

    int status = host->Run();

    program.reset();
    host.reset();
    if (device) {
        if (status == EXIT_STATUS_SUCCESS)
            device->WaitFinished(2000);
        device->Stop();
        sim::SimReport report = device->Report();
        std::fprintf(stderr, "Simulated device: %lu frames received, %lu errors, %lu bytes written\n",
                     report.framesReceived, report.errorCount, report.bytesWritten);
        // A success the device does not confirm is no success.
        if (status == EXIT_STATUS_SUCCESS && !report.AllChecked()) {
            for (const std::string& error : report.errors)
                std::fprintf(stderr, "  %s\n", error.c_str());
            std::fprintf(stderr, "%s: the simulated device did not receive the whole job intact\n",
                         traits.name);
            status = EXIT_STATUS_FAILURE;
        }
    }
    return status;
}
