// A USB-serial adapter's hold on the bytes it receives before it passes them to the
// host, as an FTDI adapter does: the bytes wait in its buffer until 62 of them are
// there (a full USB packet less its two status bytes), or until the latency timer has
// run since the first byte of the batch came; then the whole batch goes to the host
// at once. Times in nanoseconds on one clock. Pure arithmetic; the line (SimDevice)
// gives each byte's arrival at the adapter (after its wire time) and writes the byte
// to the host at its release.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// Bytes an FTDI adapter passes on at once, without waiting for its timer.
inline constexpr std::size_t ADAPTER_BATCH_BYTES = 62;
// The largest latency device-sim plays, in milliseconds (FTDI's timer goes to 255;
// slower adapters and hubs are played up to this).
inline constexpr unsigned MAX_ADAPTER_LATENCY_MS = 1000;

class AdapterHold {
public:
    // latencyMs 0: no hold; every byte is released when it arrives.
    explicit AdapterHold(unsigned latencyMs)
        : m_nHoldNs(static_cast<std::int64_t>(latencyMs) * 1'000'000)
    {
    }

    // Where a byte stands once it has been added: the release time of the batch it
    // belongs to, and how many bytes that batch holds with it (it is the last of
    // them). Bytes of one batch share its release time; when a byte fills the batch,
    // the release moves to that byte's arrival, for the bytes before it too.
    struct Placed {
        std::int64_t release;
        std::size_t batched;
    };

    // A byte that arrives at the adapter at `arrival` (not before the byte before
    // it). A byte that arrives when the open batch has been released (its timer ran
    // out, or it was full) starts a new batch.
    Placed Add(std::int64_t arrival)
    {
        if (m_nBatched == 0 || m_nBatched == ADAPTER_BATCH_BYTES || arrival >= m_nRelease) {
            m_nBatched = 0;
            m_nRelease = arrival + m_nHoldNs;
        }
        ++m_nBatched;
        if (m_nBatched == ADAPTER_BATCH_BYTES)
            m_nRelease = arrival;
        return {m_nRelease, m_nBatched};
    }

    std::int64_t HoldNs() const { return m_nHoldNs; }

private:
    std::int64_t m_nHoldNs;
    std::int64_t m_nRelease = 0;  // of the open batch
    std::size_t m_nBatched = 0;   // bytes in the open batch
};

}  // namespace sim
