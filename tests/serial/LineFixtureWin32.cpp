// The engine tests' platform on Win32, as tests/wine/run.sh sets it up under Wine:
// COMn (n = 1..8) is one end of a null-modem pair of pseudo-terminals and
// COM(n + SUITE_WINE_PEER_OFFSET) the other, which the test opens as the device;
// COM<SUITE_WINE_MISSING_PORT> names a device that doesn't exist. The relay between
// the two ends (tests/wine/ptypair.c) counts the bytes it has delivered and takes a
// "hangup" command, both through files in SUITE_WINE_PORT_DIR.
#include "LineFixture.h"

#include "platform/PortNames.h"
#include "platform/win32/Win32OwnerWindow.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// The harness's settings, read from the environment; `ok` is false outside it.
struct Layout {
    bool ok = false;
    unsigned peerOffset = 0;
    unsigned missingPort = 0;
    std::string portDir;  // as a Windows path (Z:\...)
};

const Layout& HarnessLayout()
{
    static const Layout layout = [] {
        Layout result;
        const char* offset = std::getenv("SUITE_WINE_PEER_OFFSET");
        const char* missing = std::getenv("SUITE_WINE_MISSING_PORT");
        const char* dir = std::getenv("SUITE_WINE_PORT_DIR");
        if (!offset || !missing || !dir)
            return result;
        result.peerOffset = static_cast<unsigned>(std::strtoul(offset, nullptr, 10));
        result.missingPort = static_cast<unsigned>(std::strtoul(missing, nullptr, 10));
        result.portDir = std::string("Z:") + dir;
        std::replace(result.portDir.begin(), result.portDir.end(), '/', '\\');
        result.ok = result.peerOffset > 0 && result.missingPort > 0;
        return result;
    }();
    return layout;
}

std::string DeviceName(unsigned portnr)
{
    return "\\\\.\\COM" + std::to_string(portnr);
}

bool RunningOnWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Milliseconds left until `deadline`, at least 0.
DWORD MsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

// Reads one of the relay's counters (20 decimal digits) from file `name` of the port
// directory; -1 when the file can't be read.
long long ReadRelayCount(const std::string& name)
{
    std::string path = HarnessLayout().portDir + "\\" + name;
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    char digits[21] = {};
    DWORD got = 0;
    BOOL ok = ReadFile(file, digits, 20, &got, nullptr);
    CloseHandle(file);
    if (!ok || got != 20)
        return -1;
    return std::strtoll(digits, nullptr, 10);
}

// The relay's count of bytes written to end `name` that have reached the other end.
long long ReadRelayed(const std::string& name)
{
    return ReadRelayCount(name + ".relayed");
}

// Sends one command line to the relay's control FIFO and waits until the relay has
// served it.
bool SendRelayCommand(const std::string& command)
{
    const long long served = ReadRelayCount("control.done");
    if (served < 0)
        return false;
    std::string path = HarnessLayout().portDir + "\\control";
    HANDLE fifo = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (fifo == INVALID_HANDLE_VALUE)
        return false;
    std::string line = command + "\n";
    DWORD written = 0;
    BOOL ok = WriteFile(fifo, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(fifo);
    if (!ok || written != line.size())
        return false;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (ReadRelayCount("control.done") <= served) {
        if (Clock::now() >= deadline)
            return false;
        Sleep(1);
    }
    return true;
}

class Win32TestLine final : public TestLine {
public:
    Win32TestLine(unsigned portnr, HANDLE peer, long long relayedAtStart)
        : m_portnr(portnr),
          m_peer(peer),
          m_relayedAtStart(relayedAtStart)
    {
    }
    ~Win32TestLine() override { CloseHandle(m_peer); }

    bool PeerWrite(const std::string& data) override
    {
        DWORD written = 0;
        BOOL ok = WriteFile(m_peer, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
        m_written += written;
        return ok && written == data.size();
    }

    std::string PeerRead(std::size_t count, std::chrono::milliseconds timeout) override
    {
        const auto deadline = Clock::now() + timeout;
        std::string result;
        while (result.size() < count) {
            DWORD left = MsUntil(deadline);
            if (left == 0)
                break;
            // Returns as soon as a byte is there, or after `left` ms with none.
            if (!SetReadTimeouts(MAXDWORD, MAXDWORD, left))
                break;
            char buffer[512];
            DWORD want = static_cast<DWORD>(std::min(count - result.size(), sizeof buffer));
            DWORD got = 0;
            if (!ReadFile(m_peer, buffer, want, &got, nullptr))
                break;
            result.append(buffer, got);
        }
        return result;
    }

    std::string PeerReadAvailable() override
    {
        std::string result;
        // Interval MAXDWORD with no totals: return at once with what is buffered.
        if (!SetReadTimeouts(MAXDWORD, 0, 0))
            return result;
        for (;;) {
            char buffer[512];
            DWORD got = 0;
            if (!ReadFile(m_peer, buffer, sizeof buffer, &got, nullptr) || got == 0)
                break;
            result.append(buffer, got);
        }
        return result;
    }

    bool WaitUntilDelivered(std::chrono::milliseconds timeout) override
    {
        const auto deadline = Clock::now() + timeout;
        const long long target = m_relayedAtStart + static_cast<long long>(m_written);
        const std::string peerEnd = "peer" + std::to_string(m_portnr);
        for (;;) {
            if (ReadRelayed(peerEnd) >= target)
                return true;
            if (Clock::now() >= deadline)
                return false;
            Sleep(1);
        }
    }

    void PeerHangUp() override
    {
        // The relay closes the pty under the engine's COMn and gives COMn a fresh one
        // for the next open; the engine's open handle is left on a dead line.
        EXPECT_TRUE(SendRelayCommand("hangup com" + std::to_string(m_portnr))) << "relay control FIFO";
    }

    std::string FlowControlOnLine() override
    {
        // A second handle on the engine's end (Wine lets a held port be opened again).
        HANDLE port = CreateFileA(DeviceName(m_portnr).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        if (port == INVALID_HANDLE_VALUE)
            return "can't open the engine's end";
        DCB state{};
        state.DCBlength = sizeof state;
        const BOOL ok = GetCommState(port, &state);
        CloseHandle(port);
        if (!ok)
            return "GetCommState failed";
        std::string on;
        const struct {
            bool set;
            const char* name;
        } flags[] = {
            {state.fOutX != 0, "fOutX"},
            {state.fInX != 0, "fInX"},
            {state.fOutxCtsFlow != 0, "fOutxCtsFlow"},
            {state.fOutxDsrFlow != 0, "fOutxDsrFlow"},
            {state.fRtsControl == RTS_CONTROL_HANDSHAKE, "RTS_CONTROL_HANDSHAKE"},
        };
        for (const auto& flag : flags) {
            if (flag.set)
                on += on.empty() ? flag.name : std::string(" ") + flag.name;
        }
        return on;
    }

    unsigned PortNumber() const override { return m_portnr; }

    bool Supports(LineFeature feature) const override
    {
        if (!RunningOnWine())
            return true;
        switch (feature) {
        case LineFeature::EventCharacter:
            return true;  // Wine's driver never reports it, but the back end finds it in the bytes
        case LineFeature::ExclusiveOpen:
            return false;  // Wine doesn't refuse a second open of a port (share mode 0)
        case LineFeature::HangUp:
            return true;
        }
        return true;
    }

private:
    bool SetReadTimeouts(DWORD interval, DWORD multiplier, DWORD constant)
    {
        COMMTIMEOUTS timeouts{interval, multiplier, constant, 0, 5000};
        return SetCommTimeouts(m_peer, &timeouts) != 0;
    }

    // The n of COMn of this line.
    unsigned m_portnr;
    // The device's end, opened for synchronous reads and writes.
    HANDLE m_peer;
    // The relay's count for the device end when this line was made.
    long long m_relayedAtStart;
    // Bytes the device has written on this line.
    std::size_t m_written = 0;
};

class Win32TestOwner final : public TestOwner {
public:
    Win32TestOwner()
        : m_window([this](unsigned message, std::uintptr_t wParam, std::intptr_t lParam) -> std::intptr_t {
              Record(OwnerMessage{message, wParam, lParam});
              return 0;
          })
    {
    }

    OwnerWindow* Window() override { return &m_window; }

    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) override
    {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
                if (done())
                    return true;
            }
            if (done())
                return true;
            DWORD left = MsUntil(deadline);
            if (left == 0)
                return done();
            // Wakes for sent messages (the monitor's hand-over) and posted ones; at
            // least every few ms, for conditions that change on other threads.
            MsgWaitForMultipleObjectsEx(0, nullptr, std::min<DWORD>(left, 5), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        }
    }

    void PumpFor(std::chrono::milliseconds duration) override
    {
        PumpUntil([] { return false; }, duration);
    }

private:
    // A hidden window of the test's thread whose handler records every message.
    Win32OwnerWindow m_window;
};

class Win32PortHolder final : public PortHolder {
public:
    explicit Win32PortHolder(HANDLE port)
        : m_port(port)
    {
    }
    ~Win32PortHolder() override { CloseHandle(m_port); }

private:
    HANDLE m_port;
};

// Sets XON/XOFF and hardware flow control at the engine's end of COM<portnr> on (as
// another program may have left the port) or off (as an earlier test's engine should
// have left it). The relay keeps the terminal open, so the settings stay until the
// engine opens it.
bool SetFlowControl(unsigned portnr, bool on)
{
    HANDLE port =
        CreateFileA(DeviceName(portnr).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return false;
    DCB state{};
    state.DCBlength = sizeof state;
    BOOL ok = GetCommState(port, &state);
    if (ok) {
        state.fOutX = on;
        state.fInX = on;
        state.fOutxCtsFlow = on;
        state.fRtsControl = on ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        ok = SetCommState(port, &state);
    }
    CloseHandle(port);
    return ok != 0;
}

}  // namespace

std::unique_ptr<TestLine> TestLine::Create(unsigned portnr, LineStart start)
{
    const Layout& layout = HarnessLayout();
    if (!layout.ok) {
        ADD_FAILURE() << "no serial ports mapped: run the Windows tests with tests/wine/run.sh";
        return nullptr;
    }
    if (portnr < 1 || portnr > 8) {
        ADD_FAILURE() << "the harness maps COM1 to COM8 only, not COM" << portnr;
        return nullptr;
    }
    ClearPortDevice(portnr);
    if (!SetFlowControl(portnr, start == LineStart::FreshTerminal)) {
        ADD_FAILURE() << "can't set the flow control of COM" << portnr << " (error " << GetLastError() << ")";
        return nullptr;
    }
    const unsigned peerPort = portnr + layout.peerOffset;
    HANDLE peer =
        CreateFileA(DeviceName(peerPort).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (peer == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "can't open the device end COM" << peerPort << " (error " << GetLastError() << ")";
        return nullptr;
    }
    DCB state{};
    state.DCBlength = sizeof state;
    if (!GetCommState(peer, &state) || !BuildCommDCBA("baud=115200 parity=N data=8 stop=1", &state) ||
        !SetCommState(peer, &state)) {
        ADD_FAILURE() << "can't configure COM" << peerPort << " (error " << GetLastError() << ")";
        CloseHandle(peer);
        return nullptr;
    }
    // Whatever an earlier test's engine sent and nobody read is not this line's.
    PurgeComm(peer, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    long long relayed = ReadRelayed("peer" + std::to_string(portnr));
    if (relayed < 0) {
        ADD_FAILURE() << "can't read the relay's counter in " << layout.portDir;
        CloseHandle(peer);
        return nullptr;
    }
    return std::make_unique<Win32TestLine>(portnr, peer, relayed);
}

void TestLine::MapMissing(unsigned portnr)
{
    const Layout& layout = HarnessLayout();
    if (!layout.ok) {
        ADD_FAILURE() << "no serial ports mapped: run the Windows tests with tests/wine/run.sh";
        return;
    }
    SetPortDevice(portnr, DeviceName(layout.missingPort));
}

std::unique_ptr<TestOwner> TestOwner::Create()
{
    return std::make_unique<Win32TestOwner>();
}

std::unique_ptr<PortHolder> PortHolder::Hold(unsigned portnr)
{
    // On Windows a second open of a port fails also within one program, so holding it
    // here stands for another program holding it.
    HANDLE port = CreateFileA(DeviceName(portnr).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::make_unique<Win32PortHolder>(port);
}
