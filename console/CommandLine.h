// Command-line parsing of the console tools. Each program describes itself with a
// ToolTraits record; the parser turns argv into a CommandLine or an error text, and
// UsageText writes the --help page from the same record, so the two never disagree.
#pragma once

#include <string>
#include <vector>

// What a console program is: the parts of its command line and help page that differ
// from tool to tool.
struct ToolTraits {
    const char* name;          // program name, as typed: "quarrow"
    const char* summary;       // one line: what the tool does
    bool takesImage;           // the program takes an IMAGE argument
    const char* imageHelp;     // how the image is read (shown under IMAGE)
    const char* simulateHelp;  // what --simulate runs, and the image it uses without IMAGE
    const char* successText;   // the text that ends a successful run: "Updata success!"
    const char* unitName;      // what the result counts: "blocks", "pages", "frames"
    bool rejectsFrames;        // the device may reject a frame, which is then sent again
    bool deviceSpeaksFirst;    // the device's loader opens every run (its start reply)
};

// The most stations one run serves.
constexpr long MAX_STATIONS = 64;

// Once the device has answered, a run that makes no progress for this long fails.
constexpr double DEFAULT_STALL_SECONDS = 10.0;
// A frame that the device rejects this many times in a row ends the run.
constexpr long DEFAULT_MAX_REJECTS = 25;

struct CommandLine {
    std::vector<std::string> ports;               // --port DEV, once a station: a path, COMn, usb:..., usb-path:...
    std::string portsFile;                        // --ports FILE: more ports, one a line (read by the caller)
    long stations = 0;                            // --stations N (with --simulate): N simulated stations; 0: one
    bool repeat = false;                          // --repeat: one board after another on every station
    long count = 0;                               // --count N: stop after N boards a station; 0: until Ctrl-C
    long retries = 0;                             // --retries N: run a failed board again, up to N times
    std::string logPath;                          // --log FILE: one JSON line per board appended to FILE
    std::string image;                            // IMAGE, empty when not given
    bool simulate = false;                        // --simulate: run against the built-in simulated device
    bool trace = false;                           // --trace: hex dump of every frame and reply to stderr
    bool help = false;                            // --help: print the usage page and exit 0
    bool version = false;                         // --version: print the version and exit 0
    double timeoutSeconds = 0;                    // --timeout: give up after this long with no byte; 0 = never
    bool timeoutGiven = false;                    // --timeout appeared on the command line
    double stallSeconds = DEFAULT_STALL_SECONDS;  // --stall: no progress for this long ends the run; 0 = never
    long maxRejects = DEFAULT_MAX_REJECTS;        // --max-rejects: rejections of one frame in a row; 0 = no limit
    bool cut = false;                             // --cut: send the first bytes of an image larger than the tool takes
    bool json = false;                            // --json: one JSON object per line on standard output
    bool listPorts = false;                       // --list-ports: list the serial ports present and exit
    bool doctor = false;                          // --doctor: check the ports (or every port) and exit
    bool lowLatency = true;                       // off with --no-low-latency: ports are left as they are
};

// Exit statuses of every console program.
enum ExitStatus {
    EXIT_STATUS_SUCCESS = 0,  // the device confirmed the whole job
    EXIT_STATUS_FAILURE = 1,  // the port, the image or the device refused or failed
    EXIT_STATUS_USAGE = 2,    // the command line is wrong
    EXIT_STATUS_TIMEOUT = 3,  // --timeout passed with no byte from the device
    // Ended by a signal: 128 + the signal's number.
    EXIT_STATUS_INTERRUPTED = 130,  // SIGINT (Ctrl-C)
    EXIT_STATUS_TERMINATED = 143,   // SIGTERM
};

// The idle limit a --simulate run uses when --timeout is not given, so that a broken
// simulated device can never hang the demonstration.
constexpr double SIMULATE_DEFAULT_TIMEOUT = 30.0;

// Parses args (argv without the program name). Returns an empty string on success, else
// a one-line description of the mistake. With --help or --version the rest of the line
// is not checked for completeness.
std::string ParseCommandLine(const ToolTraits& traits, const std::vector<std::string>& args, CommandLine& out);

// The name the program is started by: the tool's name ("quarrow"); on Windows with
// "-cli" after it (quarrow-cli.exe sits beside the dialog program Quarrow.exe).
std::string CommandName(const ToolTraits& traits);

// The --help page.
std::string UsageText(const ToolTraits& traits);

// The suite's version: "1.0.0".
const char* SuiteVersion();

// The --version line: "quarrow 1.0.0".
std::string VersionText(const ToolTraits& traits);
