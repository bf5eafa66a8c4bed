// The timing of an emulated serial line, 10 bits a byte (start, 8 data, stop), in
// nanoseconds on a monotonic clock. Each direction is busy while a byte is on it:
// a byte received while the line still carries the previous one arrives after it,
// and a reply starts only when the previous reply has left. Pure arithmetic; the
// line (SimDevice) reads the clock and sleeps.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace sim {

class LineClock {
public:
    // baud 0: no emulation; every byte takes no time.
    explicit LineClock(unsigned baud)
        : m_nByteNs(baud == 0 ? 0 : 10'000'000'000LL / baud)
    {
    }

    std::int64_t ByteNs() const { return m_nByteNs; }
    // Wire time of `count` bytes.
    std::int64_t WireNs(std::size_t count) const { return m_nByteNs * static_cast<std::int64_t>(count); }

    // A byte read from the line at `now` (it may have been written earlier, or
    // faster than the line could have carried it): the time its stop bit ends.
    std::int64_t Receive(std::int64_t now)
    {
        m_nRxFree = std::max(m_nRxFree, now) + m_nByteNs;
        return m_nRxFree;
    }

    // A reply of `count` bytes that may start at `ready`: its start time. Byte i
    // (from 0) has left the line at start + (i + 1) * ByteNs().
    std::int64_t Transmit(std::int64_t ready, std::size_t count)
    {
        const std::int64_t start = std::max(ready, m_nTxFree);
        m_nTxFree = start + WireNs(count);
        return start;
    }

    // When the transmit direction is free again.
    std::int64_t TxFree() const { return m_nTxFree; }

private:
    std::int64_t m_nByteNs;
    std::int64_t m_nRxFree = 0;
    std::int64_t m_nTxFree = 0;
};

}  // namespace sim
