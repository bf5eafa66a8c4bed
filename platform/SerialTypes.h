// Portable records of the serial engine. Each one mirrors the Win32 record of the
// same role field for field (and, where noted, byte for byte), so that the Win32 back
// end maps them 1:1, while the engine and the POSIX back end never see a Windows
// header. Constants carry a SERIAL_ prefix so that they cannot collide with the
// macros of <windows.h> in a file that includes both.
#pragma once

#include <cstdint>

// The engine's BOOL: the same type as Win32's, so both headers may meet in one file.
typedef int BOOL;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// An open port as the back end knows it. Null: no port. SerialInvalidHandle() (all
// bits set): the last open failed. Anything else: an open port of the back end.
using PortHandle = void*;
// An unnamed manual-reset event of the back end (null: none).
using EventHandle = void*;

// The all-bits-set handle value that a failed open leaves in the port handle.
inline PortHandle SerialInvalidHandle()
{
    return reinterpret_cast<PortHandle>(~std::uintptr_t{0});
}

// Comm-event bits of the event mask and of the event word of a completed wait.
constexpr std::uint32_t SERIAL_EV_RXCHAR = 0x0001;  // a byte arrived
constexpr std::uint32_t SERIAL_EV_RXFLAG = 0x0002;  // the event character arrived
constexpr std::uint32_t SERIAL_EV_CTS = 0x0008;     // CTS changed
constexpr std::uint32_t SERIAL_EV_BREAK = 0x0040;   // a break was received
constexpr std::uint32_t SERIAL_EV_ERR = 0x0080;     // a line error (framing, overrun, parity)
constexpr std::uint32_t SERIAL_EV_RING = 0x0100;    // ring indicator

// Purge flags; SERIAL_PURGE_ALL aborts pending reads and writes and discards both
// directions of the driver's buffers.
constexpr std::uint32_t SERIAL_PURGE_TXABORT = 0x0001;
constexpr std::uint32_t SERIAL_PURGE_RXABORT = 0x0002;
constexpr std::uint32_t SERIAL_PURGE_TXCLEAR = 0x0004;
constexpr std::uint32_t SERIAL_PURGE_RXCLEAR = 0x0008;
constexpr std::uint32_t SERIAL_PURGE_ALL = 0x000F;

// Values of LineState::Parity, StopBits and fRtsControl (the Win32 values).
constexpr std::uint8_t SERIAL_NOPARITY = 0, SERIAL_ODDPARITY = 1, SERIAL_EVENPARITY = 2, SERIAL_MARKPARITY = 3,
                       SERIAL_SPACEPARITY = 4;
constexpr std::uint8_t SERIAL_ONESTOPBIT = 0, SERIAL_ONE5STOPBITS = 1, SERIAL_TWOSTOPBITS = 2;
constexpr std::uint32_t SERIAL_RTS_CONTROL_DISABLE = 0, SERIAL_RTS_CONTROL_ENABLE = 1, SERIAL_RTS_CONTROL_HANDSHAKE = 2,
                        SERIAL_RTS_CONTROL_TOGGLE = 3;
constexpr std::uint32_t SERIAL_DTR_CONTROL_DISABLE = 0, SERIAL_DTR_CONTROL_ENABLE = 1;

// The line state of a port: the DCB, with the same fields in the same order and the
// same layout (the Win32 back end static_asserts the size and copies it whole).
struct LineState {
    std::uint32_t DCBlength = sizeof(LineState);  // size of the record
    std::uint32_t BaudRate = 0;                   // bits per second
    std::uint32_t fBinary : 1;                    // binary mode (always 1)
    std::uint32_t fParity : 1;                    // parity checking on input
    std::uint32_t fOutxCtsFlow : 1;               // CTS output flow control
    std::uint32_t fOutxDsrFlow : 1;               // DSR output flow control
    std::uint32_t fDtrControl : 2;                // DTR line use (SERIAL_DTR_CONTROL_*)
    std::uint32_t fDsrSensitivity : 1;            // ignore input while DSR is low
    std::uint32_t fTXContinueOnXoff : 1;          // keep sending after an XOFF was sent
    std::uint32_t fOutX : 1;                      // XON/XOFF output flow control
    std::uint32_t fInX : 1;                       // XON/XOFF input flow control
    std::uint32_t fErrorChar : 1;                 // replace parity errors by ErrorChar
    std::uint32_t fNull : 1;                      // discard received zero bytes
    std::uint32_t fRtsControl : 2;                // RTS line use (SERIAL_RTS_CONTROL_*)
    std::uint32_t fAbortOnError : 1;              // abort reads and writes on an error
    std::uint32_t fDummy2 : 17;                   // reserved
    std::uint16_t wReserved = 0;                  // reserved
    std::uint16_t XonLim = 0;                     // free input bytes before XON
    std::uint16_t XoffLim = 0;                    // used input bytes before XOFF
    std::uint8_t ByteSize = 8;                    // data bits, 5 to 8
    std::uint8_t Parity = SERIAL_NOPARITY;        // SERIAL_*PARITY
    std::uint8_t StopBits = SERIAL_ONESTOPBIT;    // SERIAL_*STOPBIT(S)
    char XonChar = 0x11;                          // XON character
    char XoffChar = 0x13;                         // XOFF character
    char ErrorChar = 0;                           // replacement for bytes with parity errors
    char EofChar = 0;                             // end-of-input character
    char EvtChar = 0;                             // the event character (SERIAL_EV_RXFLAG)
    std::uint16_t wReserved1 = 0;                 // reserved

    LineState()
        : fBinary(1),
          fParity(0),
          fOutxCtsFlow(0),
          fOutxDsrFlow(0),
          fDtrControl(0),
          fDsrSensitivity(0),
          fTXContinueOnXoff(0),
          fOutX(0),
          fInX(0),
          fErrorChar(0),
          fNull(0),
          fRtsControl(0),
          fAbortOnError(0),
          fDummy2(0)
    {
    }
};

// The five timeouts of a port, in milliseconds (COMMTIMEOUTS).
struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;          // longest gap between two read bytes
    std::uint32_t ReadTotalTimeoutMultiplier = 0;   // per byte of a read
    std::uint32_t ReadTotalTimeoutConstant = 0;     // added once per read
    std::uint32_t WriteTotalTimeoutMultiplier = 0;  // per byte of a write
    std::uint32_t WriteTotalTimeoutConstant = 0;    // added once per write
};

// The overlapped record of the port's comm-event wait: the layout of OVERLAPPED
// (Internal, InternalHigh, Offset, OffsetHigh, hEvent), which the Win32 back end
// passes to the system as it is. Its event is index 1 of the monitor's wait list.
struct PortOverlapped {
    std::uintptr_t Internal = 0;      // status of the operation (the system's)
    std::uintptr_t InternalHigh = 0;  // bytes moved (the system's)
    std::uint32_t Offset = 0;         // low half of the file offset (unused by ports)
    std::uint32_t OffsetHigh = 0;     // high half of the file offset
    EventHandle hEvent = nullptr;     // manual-reset event set when the wait completes
};

// What a failed port call says about the device behind the port.
enum class PortFailure {
    Transient,  // may pass (a glitch, a full buffer): the port is tried again
    Suspect,    // what a vanishing device also gives (POSIX EIO, ENXIO): twice in a row, it's gone
    Gone,       // the device is gone (hang-up, adapter removed): nothing on this port will work
};
