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
    std::string linkPath;    // --link: symbolic link to the pseudo-terminal
    std::string expectPath;  // --expect: image file, read by the caller
    double maxSeconds = 0;   // --max-time; 0: none
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

}  // namespace sim
