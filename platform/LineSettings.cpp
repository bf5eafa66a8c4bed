#include "platform/LineSettings.h"

#include <cstdint>
#include <cstdlib>
#include <string>

bool ParseLineSettings(const char* settings, LineState& state)
{
    LineState result = state;
    const char* p = settings ? settings : "";
    while (*p) {
        while (*p == ' ')
            ++p;
        if (!*p)
            break;
        const char* key = p;
        while (*p && *p != '=' && *p != ' ')
            ++p;
        const std::string name(key, p);
        if (*p != '=')
            return false;
        const char* value = ++p;
        while (*p && *p != ' ')
            ++p;
        const std::string text(value, p);
        if (text.empty())
            return false;
        if (name == "baud") {
            char* end = nullptr;
            const unsigned long baud = std::strtoul(text.c_str(), &end, 10);
            if (*end || baud == 0 || baud > 0xFFFFFFFFul)
                return false;
            result.BaudRate = static_cast<std::uint32_t>(baud);
        } else if (name == "parity") {
            if (text.size() != 1)
                return false;
            switch (text[0]) {
            case 'n':
            case 'N':
                result.Parity = SERIAL_NOPARITY;
                break;
            case 'o':
            case 'O':
                result.Parity = SERIAL_ODDPARITY;
                break;
            case 'e':
            case 'E':
                result.Parity = SERIAL_EVENPARITY;
                break;
            case 'm':
            case 'M':
                result.Parity = SERIAL_MARKPARITY;
                break;
            case 's':
            case 'S':
                result.Parity = SERIAL_SPACEPARITY;
                break;
            default:
                return false;
            }
            result.fParity = result.Parity != SERIAL_NOPARITY;
        } else if (name == "data") {
            if (text.size() != 1 || text[0] < '5' || text[0] > '8')
                return false;
            result.ByteSize = static_cast<std::uint8_t>(text[0] - '0');
        } else if (name == "stop") {
            if (text == "1")
                result.StopBits = SERIAL_ONESTOPBIT;
            else if (text == "1.5")
                result.StopBits = SERIAL_ONE5STOPBITS;
            else if (text == "2")
                result.StopBits = SERIAL_TWOSTOPBITS;
            else
                return false;
        } else {
            return false;
        }
    }
    result.fBinary = 1;
    // As BuildCommDCBA: no software or hardware flow control unless asked for, DTR
    // and RTS simply raised.
    result.fOutX = 0;
    result.fInX = 0;
    result.fOutxCtsFlow = 0;
    result.fOutxDsrFlow = 0;
    result.fDsrSensitivity = 0;
    result.fDtrControl = SERIAL_DTR_CONTROL_ENABLE;
    result.fRtsControl = SERIAL_RTS_CONTROL_ENABLE;
    state = result;
    return true;
}
