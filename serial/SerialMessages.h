// Messages that the serial engine sends to its owner window. All are sent
// synchronously from the monitor thread; lParam is always the port number (the n of
// COMn). Numbers are WM_USER-based and fixed; tool messages never reuse 0x401-0x408.
#pragma once

constexpr unsigned MSG_SERIAL_BASE = 0x0400;                     // WM_USER
constexpr unsigned MSG_SERIAL_BREAK = MSG_SERIAL_BASE + 1;       // a break was received; wParam 0
constexpr unsigned MSG_SERIAL_CTS = MSG_SERIAL_BASE + 2;         // CTS changed; wParam 0
constexpr unsigned MSG_SERIAL_LINE_ERROR = MSG_SERIAL_BASE + 4;  // a line error; wParam 0
constexpr unsigned MSG_SERIAL_RING = MSG_SERIAL_BASE + 5;        // ring indicator; wParam 0
constexpr unsigned MSG_SERIAL_RX_CHAR = MSG_SERIAL_BASE + 7;     // one received byte; wParam the byte
constexpr unsigned MSG_SERIAL_EVENT_CHAR = MSG_SERIAL_BASE + 8;  // the event character 'q' came; wParam 0

static_assert(MSG_SERIAL_RX_CHAR == 0x407, "received-byte message number is fixed");
