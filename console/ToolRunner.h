// The main program of every console tool: command line, image, simulated device,
// port, and the run itself. A program supplies its ToolTraits and a ConsoleProgram,
// the thin wiring of its logic to the console host.
#pragma once

#include "console/CommandLine.h"
#include "console/ConsoleHost.h"
#include "sim/SimDevice.h"

#include <functional>
#include <memory>
#include <string>

class ConsoleProgram : public ConsoleTool {
public:
    // The tool's line speed in bits per second (8N1 in every tool).
    virtual int Baud() const = 0;
    // The loader the simulated device plays for this tool.
    virtual sim::LoaderKind SimLoader() const = 0;
    // Loads the image: the file at `path`, or the built-in image when `path` is empty
    // (--simulate only). False when it cannot be read or is refused; the reason has
    // been printed. Tools without an image accept at once.
    virtual bool LoadImage(const std::string& path)
    {
        (void)path;
        return true;
    }
    // Tells the simulated device what to expect (the image the tool will send).
    virtual void DescribeJob(sim::SimOptions& options) const { (void)options; }
    // The port was opened (or not): shows the tool's own texts for it and, when it
    // opened, starts the job as the user's first action would. False when the run
    // cannot go on (the port failed, or the job was refused; the reason is printed).
    virtual bool Begin(bool portOpened) = 0;
};

using ProgramFactory = std::function<std::unique_ptr<ConsoleProgram>(ConsoleHost& host)>;

// Runs a console tool from main's arguments; returns the exit status.
int RunConsoleProgram(const ToolTraits& traits, int argc, char** argv, const ProgramFactory& factory);
