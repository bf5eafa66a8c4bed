// A child process for the end-to-end tests: spawned with its output in files, and
// waited for with a hard time limit after which it is killed, so that nothing can
// hang the suite.
#pragma once

#include <string>
#include <vector>

namespace e2e {

struct ProcessResult {
    bool killed = false;     // it outlived its time limit
    bool signalled = false;  // it ended by a signal (a crash, or our kill)
    int exitStatus = -1;     // when it exited normally
    std::string out;         // standard output
    std::string err;         // standard error
};

class Process {
public:
    // Starts `argv[0]` with `argv`; standard output and error go to `logBase`.out and
    // `logBase`.err (standard output to `stdoutPath` instead, when given). Check
    // Started().
    Process(const std::vector<std::string>& argv, const std::string& logBase, const std::string& stdoutPath = "");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Started() const { return m_pid > 0; }
    // Waits at most `limitMs`, then kills the process (after a SIGTERM and another
    // `limitMs` if `terminateFirst`). Call once.
    ProcessResult Wait(int limitMs, bool terminateFirst = false);
    // Sends SIGTERM (a polite stop).
    void Terminate();
    // Sends `signal` (SIGINT as Ctrl-C does, SIGKILL as a power cut).
    void Signal(int signal);
    // Standard output so far.
    std::string OutputSoFar() const;

private:
    int m_pid = -1;
    std::string m_outPath;
    std::string m_errPath;
    bool m_bWaited = false;
};

std::string ReadText(const std::string& path);

// A program run on a terminal of its own (a pseudo-terminal of `columns` columns):
// standard output and error are the one terminal, as for a person at a console.
struct TerminalResult {
    bool killed = false;
    int exitStatus = -1;
    std::string output;                         // everything written to the terminal, as the terminal got it
    std::size_t resizedAt = std::string::npos;  // how much output had come when the terminal was resized
};
// With `resizeAfterMs` >= 0 the terminal becomes `resizeColumns` wide that long after
// the start (the program gets SIGWINCH, as when a person drags the window).
// `typed`: what the person types, each text once the output so far holds its cue, in
// order (a prompt, then the answer).
struct Keystrokes {
    std::string cue;
    std::string text;
};
TerminalResult RunOnTerminal(const std::vector<std::string>& argv, int limitMs, int columns = 100,
                             int resizeAfterMs = -1, int resizeColumns = 0, const std::vector<Keystrokes>& typed = {});

}  // namespace e2e
