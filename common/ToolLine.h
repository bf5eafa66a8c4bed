// The serial line a tool talks on. The four tools share the framing (8 data bits, no
// parity, 1 stop bit) and the comm-event mask (received characters and the event
// character); each has its own speed and transmit-buffer sizes, defined once beside
// its logic (iap/IapLine.h, wholeflash/WholeFlashLine.h, erase/EraseLine.h) and used
// by the dialogs, the console programs and the simulated device's defaults.
#pragma once

#include <cstdint>

constexpr char TOOL_LINE_PARITY = 'N';
constexpr int TOOL_LINE_DATA_BITS = 8;
constexpr int TOOL_LINE_STOP_BITS = 1;
constexpr std::uint32_t TOOL_LINE_EVENT_MASK = 0x0001 | 0x0002;  // EV_RXCHAR | EV_RXFLAG

struct ToolLine {
    int baud;           // bits per second
    int startTxBuffer;  // transmit buffer of the port opened at start-up, in bytes
    int pickTxBuffer;   // transmit buffer of a port picked later (and of the console's)
};
