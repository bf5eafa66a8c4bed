#include "sim/SimCli.h"

#include "erase/EraseLine.h"
#include "iap/IapLine.h"
#include "sim/AdapterHold.h"
#include "sim/IapLoader.h"
#include "wholeflash/WholeFlashLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

#ifndef SUITE_VERSION
#define SUITE_VERSION "0.0.0"
#endif

namespace sim {

namespace {

constexpr long MAX_BOARDS = 1'000'000;
constexpr long MAX_LEAVE_MS = 3'600'000;

// The options that take a value (--no-restart is the one that takes none).
const std::set<std::string> VALUE_OPTIONS = {
    "--loader",     "--link",         "--port",        "--baud",         "--flash",        "--log",
    "--expect",     "--blocks",       "--pages",       "--flash-length", "--max-time",     "--start",
    "--ack",        "--announce",     "--wait-before", "--seed",         "--noise",        "--cut-reply",
    "--dter",       "--wer",          "--erase-ack",   "--silent-after", "--vanish-after", "--delay",
    "--slow-reply", "--before-reply", "--quiet-first", "--boards",       "--leave",        "--adapter-latency",
};

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

bool ParseSeconds(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0)
        return false;
    value = v;
    return true;
}

// The loaders each option applies to; options not listed apply to every loader.
const std::map<std::string, std::set<LoaderKind>>& OptionLoaders()
{
    static const std::set<LoaderKind> iap = {LoaderKind::IapSolvane, LoaderKind::IapTirell};
    static const std::map<std::string, std::set<LoaderKind>> table = {
        {"--expect", {LoaderKind::IapSolvane, LoaderKind::IapTirell, LoaderKind::WholeFlash}},
        {"--blocks", iap},
        {"--pages", {LoaderKind::WholeFlash}},
        {"--start", iap},
        {"--ack", iap},
        {"--announce", iap},
        {"--quiet-first", iap},
        {"--wait-before", {LoaderKind::IapTirell}},
        {"--dter", iap},
        {"--no-restart", iap},
        {"--wer", {LoaderKind::WholeFlash}},
        {"--erase-ack", {LoaderKind::WholeFlash}},
    };
    return table;
}

const char* LoaderName(LoaderKind kind)
{
    switch (kind) {
    case LoaderKind::Erase:
        return "erase";
    case LoaderKind::IapSolvane:
        return "solvane";
    case LoaderKind::IapTirell:
        return "tirell";
    case LoaderKind::WholeFlash:
        return "quarrow";
    }
    return "?";
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
        } else if (!ParseLong(item.substr(0, dash), first) || !ParseLong(item.substr(dash + 1), last) || last < first ||
                   last - first > 100000) {
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
    std::vector<std::string> given;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            out.help = true;
            return true;
        }
        if (arg == "--version") {
            out.version = true;
            return true;
        }
        given.push_back(arg);
        if (arg == "--no-restart") {
            o.faults.restartAfterError = false;
            continue;
        }
        // The name is checked before its value is looked for, so that a misspelled
        // option is called unknown wherever it stands.
        if (VALUE_OPTIONS.count(arg) == 0) {
            error = arg.rfind("-", 0) == 0 ? "unknown option " + arg : "unexpected argument " + arg;
            return false;
        }
        if (i + 1 >= args.size()) {
            error = arg + " needs a value";
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
            for (const std::string& link : out.linkPaths)
                if (link == value) {
                    error = "--link " + value + " is given twice";
                    return false;
                }
            ok = !value.empty();
            out.linkPaths.push_back(value);
        } else if (arg == "--boards") {
            ok = ParseLong(value, out.boards, 1) && out.boards <= MAX_BOARDS;
        } else if (arg == "--leave") {
            ok = ParseLong(value, out.leaveMs) && out.leaveMs <= MAX_LEAVE_MS;
        } else if (arg == "--port") {
            o.devicePath = value;
        } else if (arg == "--adapter-latency") {
            ok = ParseUnsigned(value, o.adapterLatencyMs) && o.adapterLatencyMs <= MAX_ADAPTER_LATENCY_MS;
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
        } else if (arg == "--flash-length") {
            ok = ParseLong(value, o.flashLength) && o.flashLength <= 64L * 1024 * 1024;
        } else if (arg == "--max-time") {
            ok = ParseSeconds(value, out.maxSeconds);
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
            ok = errno == 0 && !value.empty() && value[0] >= '0' && value[0] <= '9' && *end == '\0';
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
        } else if (arg == "--erase-ack") {
            // "*EOK" and one more byte.
            ok = value.size() == 5 && value.compare(0, 4, "*EOK") == 0;
            o.eraseAck = value;
        } else if (arg == "--silent-after") {
            ok = ParseLong(value, o.faults.silentAfter);
        } else if (arg == "--vanish-after") {
            ok = ParseLong(value, o.faults.vanishAfter);
        } else if (arg == "--delay") {
            ok = ParseUnsigned(value, o.faults.replyDelayMs);
        } else if (arg == "--slow-reply") {
            // LIST:MS; given again, its replies add to the others.
            const std::size_t colon = value.rfind(':');
            std::vector<long> replies;
            unsigned ms = 0;
            ok = colon != std::string::npos && ParseNumberList(value.substr(0, colon), replies) &&
                 ParseUnsigned(value.substr(colon + 1), ms);
            for (long reply : replies)
                o.faults.slowReplyMs[reply] = ms;
        } else if (arg == "--before-reply") {
            // K:TEXT; given again, for other replies (the last one for a reply holds).
            const std::size_t colon = value.find(':');
            long reply = -1;
            ok = colon != std::string::npos && colon + 1 < value.size() && ParseLong(value.substr(0, colon), reply) &&
                 reply >= 0;
            if (ok)
                o.faults.beforeReply[reply] = value.substr(colon + 1);
        } else if (arg == "--quiet-first") {
            ok = ParseUnsigned(value, o.quietFirstMs);
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
    // An option that means nothing for this loader is a mistake, not a no-op.
    for (const std::string& option : given) {
        auto rule = OptionLoaders().find(option);
        if (rule != OptionLoaders().end() && rule->second.count(o.loader) == 0) {
            error = option + " does not apply to the " + std::string(LoaderName(o.loader)) + " loader";
            return false;
        }
    }
    if (o.flashLength >= 0 && o.flashPath.empty()) {
        error = "--flash-length needs --flash";
        return false;
    }
    if (o.loader == LoaderKind::IapSolvane || o.loader == LoaderKind::IapTirell) {
        IapLoaderConfig config;
        config.variant = o.loader == LoaderKind::IapTirell ? IapVariant::Tirell : IapVariant::Solvane;
        config.startReply = o.startReply;
        config.ackReply = o.ackReply;
        error = CheckIapConfig(config);
        if (!error.empty())
            return false;
    }
    if (!haveBaud)
        o.baud = static_cast<unsigned>(o.loader == LoaderKind::IapSolvane || o.loader == LoaderKind::IapTirell
                                           ? IAP_LINE.baud
                                       : o.loader == LoaderKind::WholeFlash ? WHOLEFLASH_LINE.baud
                                                                            : ERASE_LINE.baud);
    if (!o.devicePath.empty() && !out.linkPaths.empty()) {
        error = "--link makes a link to a pseudo-terminal; it cannot be used with --port";
        return false;
    }
    if (!o.devicePath.empty() && o.adapterLatencyMs > 0) {
        error = "--adapter-latency plays an adapter on a pseudo-terminal; on --port the real adapter has its own";
        return false;
    }
    if (out.leaveMs >= 0 && out.linkPaths.empty()) {
        error = "--leave needs --link: the link is what the tool opens again when the board is back";
        return false;
    }
    if (out.leaveMs >= 0 && out.boards < 2) {
        error = "--leave needs --boards N with N of 2 or more: a board leaves only for the next one";
        return false;
    }
    return true;
}

const char* SimHelpText()
{
    return R"(Usage: device-sim --loader KIND [options]
       device-sim --help | --version

Plays the device's loader at the far end of a serial line: on a new
pseudo-terminal (its path is printed, or linked with --link), or on a serial
device (--port). Checks every frame the tool sends, keeps a model of the
device's flash, and prints a report when the run ends.

KIND: erase     Dunmere's peer (erase frames, "*EOK#")
      solvane   Solvane's in-application-programming loader
      tirell    Tirell's in-application-programming loader
      quarrow   Quarrow's whole-flash loader

Line:
  --link PATH        make PATH a symbolic link to the pseudo-terminal; given
                     more than once, each link gets a device of its own (same
                     options, own boards), and the report lines begin with
                     the link
  --port DEV         serve the serial device DEV (null-modem cable to the host)
  --baud N           line rate in bit/s, 10 bits a byte (default: 115200 for
                     erase and quarrow, 19200 for solvane and tirell); on a
                     pseudo-terminal the line is emulated at this rate, 0 = off
  --adapter-latency MS
                     play a USB-serial adapter in front of the tool (not with
                     --port): the device's bytes, once off the wire, are held
                     until 62 are waiting or MS milliseconds (up to 1000) after
                     the first of them came, as an FTDI adapter's latency timer
                     holds them (16 by default on such an adapter); 0 = off
                     (the default). The report says "adapter latency: MS ms"

Run:
  --expect FILE      the image the tool sends: the run is complete when all of
                     it has arrived, and every block or page is checked
  --blocks N         (solvane, tirell) blocks to expect, instead of --expect
  --pages N          (quarrow) pages to expect, instead of --expect
  --flash FILE       write the flash to FILE at the end (checked for writing
                     before the run starts)
  --flash-length N   make the flash file N bytes: cut, or filled with 0xFF; with
                     N = the image's size, "cmp IMAGE FILE" compares the two
  --log FILE         write one line per frame received to FILE
  --max-time SECONDS end the run after this long

Production jig:
  --boards N         play N boards one after another on the same line (1): when
                     a board's run ends (complete, or the tool closed the line)
                     its report is printed, each line after "board K: ", and a
                     new board follows: a new flash, the loader from its start
                     (an IAP loader announces itself again). The tool may close
                     the line between boards and open it again. Board K writes
                     its --flash and --log files with ".K" appended (and with
                     several links, each link's files with ".L" before it)
  --leave MS         (with --link and --boards) between boards the board leaves
                     as an adapter on it that is unplugged: the pseudo-terminal
                     is closed (the tool sees a hangup) and the link removed;
                     MS milliseconds later a new pseudo-terminal comes, the link
                     points at it and "line: PATH" is printed again

A tool that opens the line and closes it again without sending a byte ends the
run (incomplete, "ended by: the tool closed the line before its first byte";
seen on a pseudo-terminal on Linux); with --boards that ends the device's
boards too (with --leave, the closings of a board's line after it has left are
not seen).

Without --expect, --blocks or --pages the loader cannot know the image's size:
the run counts as complete only when the tool closes the line after the loader
acknowledged a whole transfer (IAP: a block; quarrow: the last frame of a
page), nothing followed, that reply reached the tool whole, and the last block
or page is recognisably the image's last: it ends in the 0xFF that fills the
flash past the image's end (the image ended inside it), or it is the last the
tool can send (the 112th block, the 1,024th page); a quarrow page must also not
be blank, and the run's pages be 0 to it. A run that stopped after any other
block or page looks the same as a finished one and is incomplete, with a
"note:" line that says why; give the size to judge such images.

In-application-programming loaders:
  --start LETTERS    start reply: IAPC (default); UPDS (solvane) or UPDF (tirell)
  --ack LETTERS      acknowledgement of a block: DTOK (default) or DTNX
  --announce MS      repeat the start reply every MS until answered (500)
  --quiet-first MS   send the first start reply only MS after the tool has
                     opened the line (a device reset late); on a serial
                     device, or off Linux, MS after device-sim starts
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
  --erase-ack REPLY  (quarrow) answer erase frames with REPLY: "*EOK" and one
                     more character ("*EOK-" by default; some devices send "*EOK#")
  --silent-after N   answer nothing after N frames
  --vanish-after N   close the line after answering N frames
  --delay MS         wait MS more before every reply
  --slow-reply LIST:MS
                     wait MS more before these replies (counted as for
                     --cut-reply), on top of --delay
  --before-reply K:TEXT
                     send TEXT just before reply K (counted as for
                     --cut-reply): a broken-off reply, an unexpected one

Options that do not apply to the chosen loader are refused. A second
device-sim on the same --link is refused while the first one runs.

Exit status: 0 complete and everything checked out; 1 the tool sent frames
that failed the checks; 2 the run ended incomplete (tool closed the line,
device fell silent or vanished, --max-time); 3 the line could not be opened,
the --link is in use, or a file (--expect, --flash, --log) cannot be read or
written; 64 bad command line (unknown option, bad value, an option that does
not apply to the loader). With several boards or links, the worst of their
runs: 3, then 1, then 2, then 0.
)";
}

std::string SimVersionText()
{
    return std::string("device-sim ") + SUITE_VERSION + "\n";
}

int SimExitStatus(const SimReport& report)
{
    if (report.errorCount > 0)
        return SIM_EXIT_ERRORS;
    if (!report.complete)
        return SIM_EXIT_INCOMPLETE;
    return SIM_EXIT_OK;
}

int WorseExitStatus(int a, int b)
{
    auto rank = [](int status) {
        switch (status) {
        case SIM_EXIT_OK:
            return 0;
        case SIM_EXIT_INCOMPLETE:
            return 1;
        case SIM_EXIT_ERRORS:
            return 2;
        default:
            return 3;
        }
    };
    return rank(b) > rank(a) ? b : a;
}

std::string BoardFilePath(const std::string& path, std::size_t link, std::size_t links, long board, long boards)
{
    std::string name = path;
    if (links > 1)
        name += "." + std::to_string(link + 1);
    if (boards > 1)
        name += "." + std::to_string(board);
    return name;
}

}  // namespace sim
