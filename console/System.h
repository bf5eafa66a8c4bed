// What the console tools ask of the operating system beyond the serial port: the
// terminal, the program's arguments, an interrupt from the user, the host's name, an
// append-only record file and whether a port's device is there. One header, one
// implementation per system: console/posix/PosixSystem.cpp (termios, signals,
// flock) and console/win32/Win32System.cpp (the console API, SetConsoleCtrlHandler,
// LockFileEx). The rest of the console layer includes no system header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The program's arguments after its name, as UTF-8 text. POSIX: argv as given;
// Windows: the wide command line, converted (argv holds the code page's text, which
// loses characters outside it).
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Sets up the standard streams once, before anything is printed: POSIX ignores
// SIGPIPE (a closed pipe is a write error, not the end of the program); Windows
// makes the console show UTF-8 text.
void PrepareStandardStreams();

// The width of the terminal `stream` writes to, in columns; 80 when it is none.
int TerminalWidth(std::FILE* stream);

// Whether a progress bar drawn with "\r\033[K" shows as one line on `stream`: a
// terminal that understands the escape sequence (POSIX: a tty whose TERM is not
// "dumb"; Windows: a console that takes virtual-terminal sequences once asked to,
// Windows 10 and later). False for a file or a pipe.
bool TerminalTakesBar(std::FILE* stream);

// Standard input is a terminal that a person types into.
bool InputIsTerminal();
// Reads what is typed on standard input, blocking until some comes: the number of
// bytes put in `buffer`, 0 or less at the end of the input or on an error. For a
// thread of its own.
long ReadInput(char* buffer, unsigned capacity);

// The name of this computer, for the records; empty if unknown.
std::string HostName();

// The system's text for error `code` (errno on POSIX, GetLastError's value on Windows).
std::string SystemErrorText(std::uint32_t code);

// The user's interrupts of the whole run. POSIX: SIGINT, SIGTERM (and SIGWINCH, the
// terminal's new size) taken by a thread of their own; they are blocked in every
// other thread, so Block must run before any other thread starts. Windows: Ctrl-C,
// Ctrl-Break and closing the console window, from the console's control handler;
// each is reported as SIGINT's number (2), so the run ends as it does on POSIX, with
// status 130.
//
// `onInterrupt(signal)` runs for the first interrupt; a second one ends the program at
// once with 128 + signal. `onResize(width)` runs when the terminal's width changes.
// Both run on a thread of the watcher, never while Stop has returned. Closing the
// console window: the system ends the program when the handler returns (after a few
// seconds at most), so the handler waits until Stop is called (the run has ended,
// its records written) or until that time is nearly up.
class InterruptWatcher {
public:
    InterruptWatcher();
    ~InterruptWatcher();  // Stop()
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    // Before any thread starts (POSIX: the mask is inherited).
    static void Block();
    void Start(std::function<void(int signal)> onInterrupt, std::function<void(int width)> onResize);
    // The run is over: the callbacks are not called again; a later interrupt ends the
    // program at once.
    void Stop();

    struct Shared;  // internal

private:
    // Shared with the watcher's thread or handler, which may outlive this object.
    std::shared_ptr<Shared> m_shared;
};

// A file that records are appended to, one whole line at a time, by any number of
// threads and processes at once: each line is one write under an exclusive lock of
// the file, forced to the disk before Append returns.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens (creates) `path`, UTF-8. False with the system's words in `error`.
    bool Open(const std::string& path, std::string& error);
    // Appends `text` (whole lines). False with the reason in `error`.
    bool Append(const std::string& text, std::string& error);

private:
    std::intptr_t m_handle = -1;  // a descriptor on POSIX, a HANDLE on Windows
};

// Whether the device of port `path` is there now (POSIX: its node exists; Windows: the
// system knows the name "COMn"), and, in `identity`, a number that changes when
// another device comes behind the same name. A name the system cannot look up counts
// as present with identity 0.
bool PortDevicePresent(const std::string& path, std::uint64_t* identity);
