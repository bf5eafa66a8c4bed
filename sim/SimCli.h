// device-sim's command line: options to SimOptions, and the help text.
#pragma once

#include "sim/SimDevice.h"

#include <string>
#include <vector>

namespace sim {

// Exit status of device-sim.
enum SimExit {
    SIM_EXIT_OK = 0,          // the run completed and everything the tool sent checked out
    SIM_EXIT_ERRORS = 1,      // the tool sent frames that failed the loader's checks
    SIM_EXIT_INCOMPLETE = 2,  // the run ended before the loader had received everything
    SIM_EXIT_LINE = 3,        // the line (pseudo-terminal, device, files) could not be set up
    SIM_EXIT_USAGE = 64,      // bad command line
};

struct SimCommandLine {
    SimOptions options;
    // --link, in the order given: symbolic links to the pseudo-terminals, one device
    // each; empty: one device on a pseudo-terminal (or --port) with no link.
    std::vector<std::string> linkPaths;
    std::string expectPath;  // --expect: image file, read by the caller
    double maxSeconds = 0;   // --max-time; 0: none
    long boards = 1;         // --boards: boards each device plays one after another
    long leaveMs = -1;       // --leave: away time between boards; -1: the board stays
    bool help = false;
    bool version = false;
};

// Parses the arguments (without the program name). Returns false with `error` set on
// a bad command line.
bool ParseSimCommandLine(const std::vector<std::string>& args, SimCommandLine& out, std::string& error);

// A list of numbers: "3", "1,5,9", "2-4,7" (ranges inclusive).
bool ParseNumberList(const std::string& text, std::vector<long>& out);

const char* SimHelpText();

// "device-sim 1.0.0\n".
std::string SimVersionText();

// The exit status for a finished run.
int SimExitStatus(const SimReport& report);

// The worse of two exit statuses, for a device-sim that played several runs: a line
// that failed (3), then frames that failed the checks (1), then an incomplete run (2),
// then success (0).
int WorseExitStatus(int a, int b);

// The flash or log file that board `board` (from 1) of the device on link `link` (from
// 0) writes: `path` itself for a single device playing a single board, otherwise with
// ".L" (the link's number, from 1, when there are several links) and ".K" (the board's
// number, when there are several boards) appended: flash.bin.2, flash.bin.1.3.
std::string BoardFilePath(const std::string& path, std::size_t link, std::size_t links, long board, long boards);

}  // namespace sim
