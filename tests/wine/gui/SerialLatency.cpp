// serial_latency: what the serial layer under it costs a tool, without any tool. Plays
// Dunmere's exchange (erase frame out, "*EOK#" back, next frame) on COM1 against
// device-sim's erase loader with the plain Win32 calls, in three ways of waiting for
// the reply:
//   event: an overlapped WaitCommEvent for EV_RXCHAR, then ClearCommError and ReadFile
//          of what is waiting (the usual way, which Wine serves late);
//   read:  an overlapped ReadFile of the reply's 5 bytes;
//   wake:  an overlapped ReadFile of one byte, issued before the frame goes out, then
//          ClearCommError and ReadFile of the rest (the way the suite's Win32 back end
//          waits).
// Prints, per way, the mean time of one exchange and the spread of the wait for the
// reply. bench/wine/flash_tools_bench.sh runs it beside the programs.
//
//   serial_latency.exe event|read|wake [EXCHANGES]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

double Now()
{
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Waits for an overlapped operation that did not complete at once.
bool Finish(HANDLE port, OVERLAPPED& overlapped, BOOL started, DWORD& moved)
{
    if (started)
        return true;
    return GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(port, &overlapped, &moved, TRUE);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool byEvent = argc > 1 && std::strcmp(argv[1], "event") == 0;
    const bool byWake = argc > 1 && std::strcmp(argv[1], "wake") == 0;
    if (argc < 2 || (!byEvent && !byWake && std::strcmp(argv[1], "read") != 0)) {
        std::fprintf(stderr, "usage: serial_latency event|read|wake [EXCHANGES]\n");
        return 2;
    }
    const int exchanges = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1008;

    HANDLE port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "serial_latency: cannot open COM1 (error %lu)\n", GetLastError());
        return 1;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    BuildCommDCBA("baud=115200 parity=N data=8 stop=1", &dcb);
    SetCommState(port, &dcb);
    // As the engine sets them for the event way; "return as soon as anything is there"
    // would not do for a fixed count, so the read way waits up to a second for it.
    COMMTIMEOUTS timeouts{1000, 1000, 1000, 1000, 1000};
    SetCommTimeouts(port, &timeouts);
    SetCommMask(port, EV_RXCHAR);

    OVERLAPPED write{}, read{}, wait{}, wake{};
    wake.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool wakeIssued = false;
    write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    std::vector<double> waits;
    const double start = Now();
    char reply[64];
    // Reads what the driver holds already (count 0 when nothing); false when it fails.
    const auto readWaiting = [&](DWORD& count) {
        COMSTAT status{};
        DWORD errors = 0;
        count = 0;
        ClearCommError(port, &errors, &status);
        if (status.cbInQue == 0)
            return true;
        ResetEvent(read.hEvent);
        const DWORD want = std::min<DWORD>(status.cbInQue, sizeof reply);
        return Finish(port, read, ReadFile(port, reply, want, &count, &read), count);
    };
    for (int i = 0; i < exchanges; ++i) {
        char frame[8];
        std::snprintf(frame, sizeof frame, "+E%04X-", (1024 + 64 * i) & 0xFFFF);
        DWORD moved = 0;
        DWORD early = 0;
        if (byWake) {  // the read waits before the frame goes out, as a monitor's would
            ResetEvent(wake.hEvent);
            if (ReadFile(port, reply, 1, &early, &wake))
                wakeIssued = false;
            else if (GetLastError() == ERROR_IO_PENDING)
                wakeIssued = true;
        }
        ResetEvent(write.hEvent);
        if (!Finish(port, write, WriteFile(port, frame, 7, &moved, &write), moved)) {
            std::fprintf(stderr, "serial_latency: write failed (error %lu)\n", GetLastError());
            return 1;
        }
        const double sent = Now();
        DWORD got = early;
        while (got < 5) {
            DWORD count = 0;
            if (byWake) {
                // A one-byte read issued before the frame goes out, beside nothing else.
                if (!wakeIssued) {
                    ResetEvent(wake.hEvent);
                    DWORD one = 0;
                    if (ReadFile(port, reply, 1, &one, &wake)) {
                        got += one;
                        continue;
                    }
                    if (GetLastError() != ERROR_IO_PENDING)
                        break;
                    wakeIssued = true;
                }
                DWORD one = 0;
                if (!GetOverlappedResult(port, &wake, &one, TRUE))
                    break;
                wakeIssued = false;
                got += one;
                if (one == 0)
                    continue;
                if (!readWaiting(count))
                    break;
            } else if (byEvent) {
                DWORD events = 0;
                ResetEvent(wait.hEvent);
                if (!Finish(port, wait, WaitCommEvent(port, &events, &wait), count))
                    break;
                if (!readWaiting(count))
                    break;
            } else {
                ResetEvent(read.hEvent);
                if (!Finish(port, read, ReadFile(port, reply, 5 - got, &count, &read), count))
                    break;
            }
            got += count;
        }
        if (got < 5) {
            std::fprintf(stderr, "serial_latency: no reply to frame %d\n", i);
            return 1;
        }
        waits.push_back(Now() - sent);
    }
    const double total = Now() - start;
    std::sort(waits.begin(), waits.end());
    const auto at = [&](double q) {
        return waits[static_cast<size_t>(q * static_cast<double>(waits.size() - 1))] * 1e3;
    };
    // 12 bytes on the wire per exchange, 10 bits a byte.
    const double limit = exchanges * 12 * 10 / 115200.0;
    std::printf("%-5s %d exchanges: %.3f ms each, ratio %.4f; wait for the reply: min %.3f, median %.3f, "
                "90%% %.3f ms\n",
                argv[1], exchanges, total * 1e3 / exchanges, limit / total, at(0), at(0.5), at(0.9));
    CloseHandle(port);
    return 0;
}
