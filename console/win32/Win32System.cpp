#include "console/System.h"

#include "platform/PortNames.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <io.h>
#include <mutex>
#include <shellapi.h>

namespace {

// Not declared at the API level the programs are built for (it came with Windows 10's
// console); a console that doesn't know it refuses the mode.
constexpr DWORD VIRTUAL_TERMINAL_PROCESSING = 0x0004;
// How long the handler of a closing console window waits for the run to end: the
// system ends the program about 5 s after the window was closed.
constexpr DWORD CLOSE_GRACE_MS = 4500;

std::string Utf8(const wchar_t* text, int length = -1)
{
    if (!text)
        return {};
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return {};
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
    if (length < 0 && !out.empty() && out.back() == '\0')
        out.pop_back();
    return out;
}

std::wstring Wide(const std::string& text)
{
    const int chars = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(chars > 0 ? chars : 0), L'\0');
    if (chars > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), chars);
    return out;
}

HANDLE StreamHandle(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

UINT g_savedOutputCodePage = 0;

void RestoreOutputCodePage()
{
    if (g_savedOutputCodePage != 0)
        SetConsoleOutputCP(g_savedOutputCodePage);
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv)
{
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i)
        args.push_back(Utf8(wide[i]));
    LocalFree(wide);
    return args;
}

void PrepareStandardStreams()
{
    // The texts are UTF-8; a console shows them as such once told so. The console's
    // own code page is put back at the end: it is the user's window, not the program's.
    const UINT current = GetConsoleOutputCP();
    if (current != 0 && current != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        g_savedOutputCodePage = current;
        std::atexit(RestoreOutputCodePage);
    }
}

int TerminalWidth(std::FILE* stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(StreamHandle(stream), &info)) {
        const int width = info.srWindow.Right - info.srWindow.Left + 1;
        if (width > 0)
            return width;
    }
    return 80;
}

bool TerminalTakesBar(std::FILE* stream)
{
    const HANDLE handle = StreamHandle(stream);
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return false;  // a file or a pipe
    if (mode & VIRTUAL_TERMINAL_PROCESSING)
        return true;
    return SetConsoleMode(handle, mode | VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool InputIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

long ReadInput(char* buffer, unsigned capacity)
{
    DWORD got = 0;
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, capacity, &got, nullptr))
        return -1;
    return static_cast<long>(got);
}

std::string HostName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &size))
        return {};
    return Utf8(name, static_cast<int>(size));
}

std::string SystemErrorText(std::uint32_t code)
{
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::string out = length > 0 ? Utf8(text, static_cast<int>(length)) : std::string();
    if (text)
        LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    if (out.empty())
        out = "error " + std::to_string(code);
    return out;
}

// --- interrupts --------------------------------------------------------------------

struct InterruptWatcher::Shared {
    std::mutex lock;  // held while an interrupt is handled; Stop waits for it
    std::condition_variable stopped;
    bool active = false;
    bool interrupted = false;
    std::function<void(int)> onInterrupt;
};

namespace {

// The console's control handler is one for the process: it finds the watcher here.
std::mutex g_watcherLock;
std::shared_ptr<InterruptWatcher::Shared> g_watcher;

// The number the run gives every kind of interrupt: SIGINT's.
constexpr int INTERRUPT_SIGNAL = 2;

BOOL WINAPI ConsoleControl(DWORD kind)
{
    std::shared_ptr<InterruptWatcher::Shared> shared;
    {
        std::lock_guard<std::mutex> lock(g_watcherLock);
        shared = g_watcher;
    }
    if (!shared)
        return FALSE;  // the system's handling: the program ends
    std::unique_lock<std::mutex> lock(shared->lock);
    if (!shared->active || shared->interrupted) {
        // After the run, or a second Ctrl-C: the user does not want to wait.
        DWORD ignored = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), "\n", 1, &ignored, nullptr);
        ExitProcess(128 + INTERRUPT_SIGNAL);
    }
    shared->interrupted = true;
    if (shared->onInterrupt)
        shared->onInterrupt(INTERRUPT_SIGNAL);
    if (kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT) {
        // The program ends when this returns: give the run the time to close its port
        // and write its records.
        shared->stopped.wait_for(lock, std::chrono::milliseconds(CLOSE_GRACE_MS), [&] { return !shared->active; });
    }
    return TRUE;
}

}  // namespace

InterruptWatcher::InterruptWatcher()
    : m_shared(std::make_shared<Shared>())
{
}

InterruptWatcher::~InterruptWatcher()
{
    Stop();
}

void InterruptWatcher::Block() {}

void InterruptWatcher::Start(std::function<void(int)> onInterrupt, std::function<void(int)> onResize)
{
    (void)onResize;  // a console window tells nobody of a new size; the width is read when a run starts
    {
        std::lock_guard<std::mutex> lock(m_shared->lock);
        m_shared->onInterrupt = std::move(onInterrupt);
        m_shared->active = true;
    }
    {
        std::lock_guard<std::mutex> lock(g_watcherLock);
        g_watcher = m_shared;
    }
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
}

void InterruptWatcher::Stop()
{
    std::lock_guard<std::mutex> lock(m_shared->lock);
    m_shared->active = false;
    m_shared->onInterrupt = nullptr;
    m_shared->stopped.notify_all();
}

// --- the record file ---------------------------------------------------------------

AppendFile::~AppendFile()
{
    if (m_handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

bool AppendFile::Open(const std::string& path, std::string& error)
{
    // Append access only (every write goes to the end, as O_APPEND does); read access
    // because the region lock needs one of the two generic rights.
    const HANDLE file = CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA | GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = SystemErrorText(GetLastError());
        return false;
    }
    m_handle = reinterpret_cast<std::intptr_t>(file);
    return true;
}

bool AppendFile::Append(const std::string& text, std::string& error)
{
    const HANDLE file = reinterpret_cast<HANDLE>(m_handle);
    // The whole file's range, locked: other processes' lines wait for this one.
    OVERLAPPED whole{};
    const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
    DWORD written = 0;
    const bool wrote = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0;
    const DWORD writeError = GetLastError();
    const bool synced = wrote && written == text.size() && FlushFileBuffers(file) != 0;
    const DWORD syncError = GetLastError();
    if (locked) {
        OVERLAPPED again{};
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &again);
    }
    if (!wrote || written != text.size()) {
        error = !wrote ? SystemErrorText(writeError) : "the line was written only in part (disk full?)";
        return false;
    }
    if (!synced) {
        error = "the line did not reach the disk: " + SystemErrorText(syncError);
        return false;
    }
    return true;
}

// --- ports -------------------------------------------------------------------------

bool PortDevicePresent(const std::string& path, std::uint64_t* identity)
{
    if (identity)
        *identity = 0;
    std::string name = path;
    if (name.rfind("\\\\.\\", 0) == 0)
        name.erase(0, 4);
    if (ParseComName(name.c_str()) == 0)
        return true;  // not a name the system's device list holds
    char target[1024] = {};
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) == 0)
        return GetLastError() != ERROR_FILE_NOT_FOUND;
    if (identity) {
        // FNV-1a of the device the name leads to: another adapter, another device.
        std::uint64_t hash = 1469598103934665603ull;
        for (const char* c = target; *c; ++c)
            hash = (hash ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
        *identity = hash;
    }
    return true;
}
