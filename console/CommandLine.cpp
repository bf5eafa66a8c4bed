#include "console/CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#ifndef SUITE_VERSION
#define SUITE_VERSION "0.0.0"
#endif

namespace {

// Reads a --timeout value: a non-negative decimal number of seconds.
bool ParseSeconds(const std::string& text, double& out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value) || value < 0)
        return false;
    out = value;
    return true;
}

// "COM0", "com00": a COM name, but not a port (they are numbered from 1).
bool IsComZero(const std::string& name)
{
    if (name.size() < 4)
        return false;
    for (std::size_t i = 0; i < 3; ++i)
        if ((name[i] | 0x20) != "com"[i])
            return false;
    return name.find_first_not_of('0', 3) == std::string::npos;
}

// Reads a count: a non-negative decimal integer.
bool ParseCount(const std::string& text, long& out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size() || value < 0)
        return false;
    out = value;
    return true;
}

}  // namespace

std::string ParseCommandLine(const ToolTraits& traits, const std::vector<std::string>& args, CommandLine& out)
{
    out = CommandLine{};
    std::vector<std::string> positional;
    bool optionsEnded = false;
    bool imageGiven = false;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            imageGiven = true;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }

        // "--name=value" and "--name value" are both accepted for options with a value.
        std::string name = arg;
        std::string value;
        bool inlineValue = false;
        if (auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        auto takeValue = [&](std::string& into) -> bool {
            if (inlineValue) {
                into = value;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            into = args[++i];
            return true;
        };
        auto noValue = [&]() { return !inlineValue; };

        if (name == "--help" || name == "-h") {
            if (!noValue())
                return name + " takes no value";
            out.help = true;
        } else if (name == "--version") {
            if (!noValue())
                return name + " takes no value";
            out.version = true;
        } else if (name == "--simulate") {
            if (!noValue())
                return name + " takes no value";
            out.simulate = true;
        } else if (name == "--trace") {
            if (!noValue())
                return name + " takes no value";
            out.trace = true;
        } else if (name == "--cut") {
            if (!noValue())
                return name + " takes no value";
            out.cut = true;
        } else if (name == "--json") {
            if (!noValue())
                return name + " takes no value";
            out.json = true;
        } else if (name == "--doctor") {
            if (!noValue())
                return name + " takes no value";
            out.doctor = true;
        } else if (name == "--no-low-latency") {
            if (!noValue())
                return name + " takes no value";
            out.lowLatency = false;
        } else if (name == "--list-ports") {
            if (!noValue())
                return name + " takes no value";
            out.listPorts = true;
        } else if (name == "--stall") {
            std::string text;
            if (!takeValue(text))
                return "--stall needs a number of seconds";
            if (!ParseSeconds(text, out.stallSeconds))
                return "--stall needs a number of seconds (0 or more), not \"" + text + "\"";
        } else if (name == "--max-rejects") {
            std::string text;
            if (!takeValue(text))
                return "--max-rejects needs a count";
            if (!traits.rejectsFrames)
                return "--max-rejects does not apply: the device never rejects a frame of " + std::string(traits.name);
            if (!ParseCount(text, out.maxRejects))
                return "--max-rejects needs a count (0 or more), not \"" + text + "\"";
        } else if (name == "--port" || name == "-p") {
            std::string port;
            if (!takeValue(port) || port.empty())
                return "--port needs a device (a path such as /dev/ttyUSB0, COMn, usb:SERIAL or usb-path:1-1.4)";
            if (IsComZero(port))
                return "--port " + port + ": ports are numbered from COM1";
            out.ports.push_back(port);
        } else if (name == "--ports") {
            if (!takeValue(out.portsFile) || out.portsFile.empty())
                return "--ports needs a file naming one port a line";
        } else if (name == "--stations") {
            std::string text;
            if (!takeValue(text))
                return "--stations needs a count";
            if (!ParseCount(text, out.stations) || out.stations < 1 || out.stations > MAX_STATIONS)
                return "--stations needs a count from 1 to " + std::to_string(MAX_STATIONS) + ", not \"" + text + "\"";
        } else if (name == "--repeat") {
            if (!noValue())
                return name + " takes no value";
            out.repeat = true;
        } else if (name == "--count") {
            std::string text;
            if (!takeValue(text))
                return "--count needs a number of boards";
            if (!ParseCount(text, out.count) || out.count < 1)
                return "--count needs a number of boards (1 or more), not \"" + text + "\"";
            out.repeat = true;
        } else if (name == "--retries") {
            std::string text;
            if (!takeValue(text))
                return "--retries needs a count";
            if (!ParseCount(text, out.retries))
                return "--retries needs a count (0 or more), not \"" + text + "\"";
        } else if (name == "--log") {
            if (!takeValue(out.logPath) || out.logPath.empty())
                return "--log needs a file to append the boards' records to";
        } else if (name == "--timeout" || name == "-t") {
            std::string text;
            if (!takeValue(text))
                return "--timeout needs a number of seconds";
            if (!ParseSeconds(text, out.timeoutSeconds))
                return "--timeout needs a number of seconds (0 or more), not \"" + text + "\"";
            out.timeoutGiven = true;
        } else {
            return "unknown option " + name;
        }
    }

    if (out.help || out.version)
        return {};
    const bool portGiven = !out.ports.empty() || !out.portsFile.empty();
    if (out.doctor) {
        if (out.listPorts || out.simulate || imageGiven)
            return "--doctor takes only --port (or none: every port is checked)";
        return {};
    }
    if (out.listPorts) {
        if (portGiven || out.simulate || imageGiven)
            return "--list-ports takes no device and no image";
        return {};
    }

    if (positional.size() > (traits.takesImage ? 1u : 0u)) {
        const std::string& extra = positional[traits.takesImage ? 1 : 0];
        return "unexpected argument \"" + extra + "\"";
    }
    if (!positional.empty()) {
        if (positional[0].empty())
            return "the IMAGE argument is an empty name";
        out.image = positional[0];
    }
    if (out.cut && !traits.takesImage)
        return std::string("--cut does not apply: ") + traits.name + " takes no image";

    if (portGiven && out.simulate)
        return "--port and --simulate cannot be used together";
    if (out.stations > 0 && !out.simulate)
        return "--stations applies to --simulate; real stations are named with --port, once each";
    if (!portGiven && !out.simulate)
        return "no device given: use --port DEV, or --simulate to run without hardware";
    if (traits.takesImage && out.image.empty() && !out.simulate)
        return "no IMAGE given";
    if (out.simulate && !out.timeoutGiven)
        out.timeoutSeconds = SIMULATE_DEFAULT_TIMEOUT;
    return {};
}

std::string CommandName(const ToolTraits& traits)
{
    return std::string(traits.name) + SUITE_COMMAND_SUFFIX;
}

std::string UsageText(const ToolTraits& traits)
{
    // The Windows programs' page speaks of COM ports, the console and its Ctrl-C.
    constexpr bool windows = SUITE_CONSOLE_WINDOWS != 0;
    const std::string name = CommandName(traits);
    std::string image = traits.takesImage ? " IMAGE" : "";
    std::string s;
    s += "Usage: " + name + " --port DEV [--port DEV...] [OPTION...]" + image + "\n";
    s += "       " + name + " --simulate [OPTION...]" + (traits.takesImage ? " [IMAGE]" : "") + "\n";
    s += "       " + name + " --list-ports [--json]\n";
    s += "       " + name + " --doctor [--port DEV]\n";
    s += "       " + name + " --help | --version\n\n";
    s += traits.summary;
    s += "\n\n";
    if (traits.takesImage) {
        s += "  IMAGE              ";
        s += traits.imageHelp;
        s += "\n";
    }
    if (windows)
        s += "  --port DEV         the serial line: COMn (COM1, COM12, any n); or the USB\n"
             "                     adapter behind it, found when the port is opened:\n"
             "                     usb:SERIAL, usb:VID:PID, usb:VID:PID:SERIAL,\n"
             "                     usb-path:LOCATION (--list-ports prints them). Given more\n"
             "                     than once: one station a port, all running at once\n";
    else
        s += "  --port DEV         the serial line: a device path (/dev/ttyUSB0, /dev/pts/3);\n"
             "                     COMn (n = 1, 2, ...): $SUITE_COM<n> if set, else\n"
             "                     /dev/ttyS<n-1>; or the USB adapter behind it, found when\n"
             "                     the port is opened: usb:SERIAL, usb:VID:PID,\n"
             "                     usb:VID:PID:SERIAL, usb-path:1-1.4 (--list-ports prints\n"
             "                     them). Given more than once: one station a port, all\n"
             "                     running at once\n";
    s += "  --ports FILE       more ports, one a line (# starts a comment)\n"
         "  --simulate         run against a simulated device inside the program (the\n"
         "                     line's timing emulated); no hardware needed.";
    if (*traits.simulateHelp) {
        s += "\n                     ";
        s += traits.simulateHelp;
    }
    s += "\n";
    if (windows)
        s += "  --doctor           check that the port (with --port; else every port) can be\n"
             "                     used: present, not held by another program, the\n"
             "                     adapter's latency timer; one line each, with the fix;\n"
             "                     status 0 when all is well, 1 otherwise\n";
    else
        s += "  --doctor           check that the port (with --port; else every port) can be\n"
             "                     used: access, other programs holding it, ModemManager,\n"
             "                     brltty, the adapter's latency timer; one line each, with\n"
             "                     the fix; status 0 when all is well, 1 otherwise\n"
             "  --no-low-latency   leave the port's low-latency setting as it is (Linux asks\n"
             "                     USB adapters for low latency when it opens them)\n";
    s += "  --stations N       (with --simulate) run N simulated stations at once\n"
         "  --repeat           after each board, wait for the next one and run again:\n";
    if (traits.deviceSpeaksFirst)
        s += "                     its loader's start reply (or the port going away and\n"
             "                     coming back); until Ctrl-C or --count\n";
    else
        s += "                     the port going away and coming back (an adapter on the\n"
             "                     board), or Enter on a terminal; until Ctrl-C or --count\n";
    s += "  --count N          stop after N boards a station (implies --repeat)\n"
         "  --retries N        run a failed board again from its start, up to N times\n"
         "  --log FILE         append one JSON line per board (and try) to FILE\n";
    s += "  --list-ports       list the serial ports present (USB adapters with their\n"
         "                     vendor, product and serial number) and exit\n";
    if (traits.takesImage)
        s += "  --cut              send the first bytes of an image larger than the tool\n"
             "                     takes, instead of refusing it\n";
    s += "  --timeout SECONDS  give up when the device sends nothing for this long, first\n"
         "                     while waiting for its first reply, then between replies\n"
         "                     (status 3); 0 or not given: wait for ever (with --simulate:\n"
         "                     30)\n"
         "  --stall SECONDS    once the device has answered, give up when the run makes\n"
         "                     no progress (no frame acknowledged) for this long\n"
         "                     (status 1); default 10, 0: never\n";
    if (traits.rejectsFrames)
        s += "  --max-rejects N    give up when the device rejects the same frame N times in\n"
             "                     a row (status 1); default 25, 0: no limit\n";
    s += "  --json             print progress and the result as JSON objects, one a line,\n"
         "                     on standard output (instead of the success text)\n"
         "  --trace            print every frame sent and every reply received, with\n"
         "                     the time since start, in hex on standard error\n"
         "  --help             print this page\n"
         "  --version          print the version\n\n";
    s += "On success the program prints \"";
    s += traits.successText;
    s += "\" on standard output\n"
         "(its last line) and exits 0. Progress, status lines, the summary and every\n"
         "failure go to standard error. ";
    s += windows ? "The progress bar needs a console that understands escape\n"
                   "sequences (Windows 10 and later); otherwise progress is a plain line at\n"
                   "every tenth of the work. "
                 : "The progress bar needs a terminal (TERM set\n"
                   "and not \"dumb\"); otherwise progress is a plain line at every tenth of the\n"
                   "work. ";
    s += "With several ports, every station's lines start with its port (on a\n"
         "terminal: one progress line a station), and the run ends with a table of\n"
         "the stations on standard output; so does a --repeat run.\n\n"
         "Exit status: 0 success; 1 the port, the image or the device failed (also a\n"
         "stall, and a failed write to standard output); 2 wrong command line; 3 no\n"
         "byte from the device within --timeout; ";
    s += windows ? "130 interrupted (Ctrl-C, Ctrl-Break, or the\n"
                   "console window closed). With several ports or --repeat: 0 only when every\n"
                   "board succeeded, else 1 (130 when a board was interrupted).\n"
                 : "130 interrupted (Ctrl-C, SIGINT);\n"
                   "143 terminated (SIGTERM). With several ports or --repeat: 0 only when every\n"
                   "board succeeded, else 1 (130 or 143 when a board was interrupted).\n";
    return s;
}

const char* SuiteVersion()
{
    return SUITE_VERSION;
}

std::string VersionText(const ToolTraits& traits)
{
    return CommandName(traits) + " " + SUITE_VERSION + "\n";
}
