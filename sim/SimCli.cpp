#include "sim/SimCli.h"

#include <cerrno>
#include <cstdlib>

namespace sim {

namespace {

bool ParseLong(const std::string& text, long& value, long minimum = 0)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < minimum)
        return false;
    value = v;
    return true;
}

bool ParseUnsigned(const std::string& text, unsigned& value)
{
    long v = 0;
    if (!ParseLong(text, v) || v > 0x7FFFFFFFL)
        return false;
    value = static_cast<unsigned>(v);
    return true;
}

}  // namespace

bool ParseNumberList(const std::string& text, std::vector<long>& out)
{
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t comma = text.find(',', pos);
        const std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        const std::size_t dash = item.find('-');
        long first = 0, last = 0;
        if (dash == std::string::npos) {
            if (!ParseLong(item, first))
                return false;
            last = first;
        } else if (!ParseLong(item.substr(0, dash), first) || !ParseLong(item.substr(dash + 1), last) ||
                   last < first || last - first > 100000) {
            return false;
        }
        for (long v = first; v <= last; ++v)
            out.push_back(v);
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return true;
}

bool ParseSimCommandLine(const std::vector<std::string>& args, SimCommandLine& out, std::string& error)
{
    SimOptions& o = out.options;
    bool haveLoader = false;
    bool haveBaud = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            out.help = true;
            return true;
        }
        if (arg == "--no-restart") {
            o.faults.restartAfterError = false;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = arg.rfind("--", 0) == 0 ? arg + " needs a value" : "unexpected argument " + arg;
            return false;
        }
        const std::string& value = args[++i];
        bool ok = true;
        long number = 0;
        if (arg == "--loader") {
            haveLoader = true;
            if (value == "erase" || value == "dunmere")
                o.loader = LoaderKind::Erase;
            else if (value == "solvane")
                o.loader = LoaderKind::IapSolvane;
            else if (value == "tirell")
                o.loader = LoaderKind::IapTirell;
            else if (value == "quarrow" || value == "wholeflash")
                o.loader = LoaderKind::WholeFlash;
            else
                ok = false;
        } else if (arg == "--link") {
            out.linkPath = value;
        } else if (arg == "--port") {
            o.devicePath = value;
        } else if (arg == "--baud") {
            ok = ParseUnsigned(value, o.baud);
            haveBaud = true;
        } else if (arg == "--flash") {
            o.flashPath = value;
        } else if (arg == "--log") {
            o.logPath = value;
        } else if (arg == "--expect") {
            out.expectPath = value;
        } else if (arg == "--blocks" || arg == "--pages") {
            ok = ParseLong(value, o.expectedUnits);
        } else if (arg == "--max-time") {
            char* end = nullptr;
            out.maxSeconds = std::strtod(value.c_str(), &end);
            ok = end != value.c_str() && *end == '\0' && out.maxSeconds >= 0;
        } else if (arg == "--start") {
            o.startReply = value;
        } else if (arg == "--ack") {
            o.ackReply = value;
        } else if (arg == "--announce") {
            ok = ParseUnsigned(value, o.announceMs) && o.announceMs > 0;
        } else if (arg == "--wait-before") {
            ok = ParseNumberList(value, o.waitBeforeBlocks);
        } else if (arg == "--seed") {
            char* end = nullptr;
            errno = 0;
            o.faults.seed = std::strtoull(value.c_str(), &end, 10);
            ok = errno == 0 && !value.empty() && *end == '\0';
        } else if (arg == "--noise") {
            ok = ParseUnsigned(value, o.faults.noiseMax);
        } else if (arg == "--cut-reply") {
            const std::size_t colon = value.find(':');
            ok = ParseLong(value.substr(0, colon), o.faults.cutReply);
            if (ok && colon != std::string::npos)
                ok = ParseUnsigned(value.substr(colon + 1), o.faults.cutLength);
        } else if (arg == "--dter") {
            ok = ParseNumberList(value, o.faults.errorBlocks);
        } else if (arg == "--wer") {
            // F or FxN, comma-separated; F may be a range a-b.
            std::size_t pos = 0;
            while (ok && pos <= value.size()) {
                const std::size_t comma = value.find(',', pos);
                std::string item = value.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
                unsigned times = 1;
                const std::size_t x = item.find('x');
                if (x != std::string::npos) {
                    ok = ParseUnsigned(item.substr(x + 1), times) && times > 0;
                    item = item.substr(0, x);
                }
                std::vector<long> frames;
                ok = ok && ParseNumberList(item, frames);
                for (long f : frames)
                    o.faults.rejectFrames.push_back({f, times});
                if (comma == std::string::npos)
                    break;
                pos = comma + 1;
            }
        } else if (arg == "--silent-after") {
            ok = ParseLong(value, o.faults.silentAfter);
        } else if (arg == "--vanish-after") {
            ok = ParseLong(value, o.faults.vanishAfter);
        } else if (arg == "--delay") {
            ok = ParseUnsigned(value, o.faults.replyDelayMs);
        } else {
            error = "unknown option " + arg;
            return false;
        }
        (void)number;
        if (!ok) {
            error = "bad value for " + arg + ": " + value;
            return false;
        }
    }
    if (!haveLoader) {
        error = "--loader is required (erase, solvane, tirell or quarrow)";
        return false;
    }
    if (!haveBaud)
        o.baud = (o.loader == LoaderKind::IapSolvane || o.loader == LoaderKind::IapTirell) ? 19200 : 115200;
    if (!o.devicePath.empty() && !out.linkPath.empty()) {
        error = "--link makes a link to a pseudo-terminal; it cannot be used with --port";
        return false;
    }
    return true;
}

const char* SimHelpText()
{
    return R"(Usage: device-sim --loader KIND [options]

Plays the device's loader at the far end of a serial line: on a new
pseudo-terminal (its path is printed, or linked with --link), or on a serial
device (--port). Checks every frame the tool sends, keeps a model of the
device's flash, and prints a report when the run ends.

KIND: erase     Dunmere's peer (erase frames, "*EOK#")
      solvane   Solvane's in-application-programming loader
      tirell    Tirell's in-application-programming loader
      quarrow   Quarrow's whole-flash loader

Line:
  --link PATH        make PATH a symbolic link to the pseudo-terminal
  --port DEV         serve the serial device DEV (null-modem cable to the host)
  --baud N           line rate in bit/s, 10 bits a byte (default: 115200 for
                     erase and quarrow, 19200 for solvane and tirell); on a
                     pseudo-terminal the line is emulated at this rate, 0 = off

Run:
  --expect FILE      the image the tool sends: the run is complete when all of
                     it has arrived, and every block or page is checked
  --blocks N         (solvane, tirell) blocks to expect, instead of --expect
  --pages N          (quarrow) pages to expect, instead of --expect
  --flash FILE       write the flash to FILE at the end
  --log FILE         write one line per frame received to FILE
  --max-time SECONDS end the run after this long

In-application-programming loaders:
  --start LETTERS    start reply: IAPC (default); UPDS (solvane) or UPDF (tirell)
  --ack LETTERS      acknowledgement of a block: DTOK (default) or DTNX
  --announce MS      repeat the start reply every MS until answered (500)
  --wait-before LIST (tirell) send "+UPDS-" before acknowledging these blocks

Faults (LIST: numbers and ranges, e.g. 0,5-7; counts from 0):
  --seed N           seed of the noise generator (1)
  --noise N          up to N random noise bytes before every reply
  --cut-reply K[:L]  cut reply K (counted over the replies to frames) short
                     after L bytes (default: all but the last)
  --dter LIST        answer these blocks "+DTER-" the first time they arrive;
                     the loader then announces itself again
  --no-restart       after "+DTER-", wait instead of announcing again
  --wer F[xN],...    (quarrow) answer write frame F (page*16 + sub-frame)
                     "*WER#", N times in a row (1)
  --silent-after N   answer nothing after N frames
  --vanish-after N   close the line after answering N frames
  --delay MS         wait MS more before every reply

Exit status: 0 complete and everything checked out; 1 the tool sent frames
that failed the checks; 2 the run ended incomplete (tool closed the line,
device fell silent or vanished, --max-time); 3 the line could not be opened;
64 bad command line.
)";
}

int SimExitStatus(const SimReport& report)
{
    if (report.errorCount > 0)
        return SIM_EXIT_ERRORS;
    if (!report.complete)
        return SIM_EXIT_INCOMPLETE;
    return SIM_EXIT_OK;
}

}  // namespace sim
