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

} // namespace

std::string ParseCommandLine(const ToolTraits& traits, const std::vector<std::string>& args,
                             CommandLine& out)
{
    out = CommandLine{};
    std::vector<std::string> positional;
    bool portGiven = false;
    bool optionsEnded = false;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
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
        } else if (name == "--port" || name == "-p") {
            if (!takeValue(out.port))
                return "--port needs a device (a path such as /dev/ttyUSB0, or COM1 to COM8)";
            if (out.port.empty())
                return "--port needs a device (a path such as /dev/ttyUSB0, or COM1 to COM8)";
            portGiven = true;
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

    if (positional.size() > (traits.takesImage ? 1u : 0u)) {
        const std::string& extra = positional[traits.takesImage ? 1 : 0];
        return "unexpected argument \"" + extra + "\"";
    }
    if (!positional.empty())
        out.image = positional[0];

    if (portGiven && out.simulate)
        return "--port and --simulate cannot be used together";
    if (!portGiven && !out.simulate)
        return "no device given: use --port DEV, or --simulate to run without hardware";
    if (traits.takesImage && out.image.empty() && !out.simulate)
        return "no IMAGE given";
    if (out.simulate && !out.timeoutGiven)
        out.timeoutSeconds = SIMULATE_DEFAULT_TIMEOUT;
    return {};
}

std::string UsageText(const ToolTraits& traits)
{
    std::string name = traits.name;
    std::string image = traits.takesImage ? " IMAGE" : "";
    std::string s;
    s += "Usage: " + name + " --port DEV [--timeout SECONDS] [--trace]" + image + "\n";
    s += "       " + name + " --simulate [--timeout SECONDS] [--trace]" +
         (traits.takesImage ? " [IMAGE]" : "") + "\n";
    s += "       " + name + " --help | --version\n\n";
    s += traits.summary;
    s += "\n\n";
    if (traits.takesImage) {
        s += "  IMAGE              ";
        s += traits.imageHelp;
        s += "\n";
    }
    s += "  --port DEV         the serial line: a device path (/dev/ttyUSB0, /dev/pts/3),\n"
         "                     or COMn: $SUITE_COM<n> if set, else /dev/ttyS<n-1>\n"
         "  --simulate         run against the built-in simulated device on a\n"
         "                     pseudo-terminal; no hardware needed.";
    if (*traits.simulateHelp) {
        s += "\n                     ";
        s += traits.simulateHelp;
    }
    s += "\n";
    s += "  --timeout SECONDS  give up when the device sends nothing for this long\n"
         "                     (default: wait for ever; with --simulate: 30)\n"
         "  --trace            print every frame sent and every reply received, with\n"
         "                     the time since start, in hex on standard error\n"
         "  --help             print this page\n"
         "  --version          print the version\n\n";
    s += "On success the program prints \"";
    s += traits.successText;
    s += "\" on standard output and exits 0.\n"
         "Exit status: 0 success; 1 the port, the image or the device failed;\n"
         "2 wrong command line; 3 no byte from the device within --timeout.\n";
    return s;
}

std::string VersionText(const ToolTraits& traits)
{
    return std::string(traits.name) + " " + SUITE_VERSION + "\n";
}
