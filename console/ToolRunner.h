// The main program of every console tool: command line, image, simulated device,
// port, and the run itself. A program supplies its ToolTraits and a ConsoleProgram,
// the thin wiring of its logic to the console host.
#pragma once

#include "console/CommandLine.h"
#include "console/ConsoleHost.h"
#include "sim/SimDevice.h"

#include "common/ToolLine.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class ConsoleProgram : public ConsoleTool {
public:
    // The tool's line (speed and transmit buffers; 8N1 in every tool).
    virtual ToolLine Line() const = 0;
    // The loader the simulated device plays for this tool.
    virtual sim::LoaderKind SimLoader() const = 0;
    // The run's options, given before anything else happens.
    virtual void Configure(const CommandLine& cl) { (void)cl; }
    // Loads the image: the file at `path`, or the built-in image when `path` is empty
    // (--simulate only). False when it cannot be read or is refused; the reason has
    // been printed. Tools without an image accept at once. Runs before the port is
    // opened, so that a wrong image never touches the device.
    virtual bool LoadImage(const std::string& path)
    {
        (void)path;
        return true;
    }
    // The image LoadImage took, as it is sent (for the board records); empty for a
    // tool without an image.
    virtual std::vector<std::uint8_t> ImageBytes() const { return {}; }
    // The replies the device sends in a whole run (for what an adapter's latency costs).
    virtual long ReplyCount() const { return 0; }
    // Tells the simulated device what to expect (the image the tool will send).
    virtual void DescribeJob(sim::SimOptions& options) const { (void)options; }
    // The port is open: shows the tool's own texts for it and starts the job as the
    // user's first action would. False when the job was refused (the reason is printed).
    virtual bool Begin() = 0;
};

using ProgramFactory = std::function<std::unique_ptr<ConsoleProgram>(ConsoleHost& host)>;

// Runs a console tool from main's arguments; returns the exit status.
int RunConsoleProgram(const ToolTraits& traits, int argc, char** argv, const ProgramFactory& factory);

// Reads the image file at `path` for a tool that takes at most `limit` bytes. A larger
// file is refused, naming both sizes, unless `cut`; an Intel HEX or S-record file is
// taken as raw bytes with a warning. Prints refusals (as failures) and warnings
// (as status lines) through the host's reporter, prefixed with `program`.
bool ReadToolImage(ConsoleHost& host, const std::string& program, const std::string& path, std::size_t limit, bool cut,
                   std::vector<std::uint8_t>& bytes);
