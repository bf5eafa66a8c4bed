#include "console/Doctor.h"

#include "console/PortList.h"
#include "wholeflash/WholeFlashUpdater.h"

#include <cstdlib>

namespace {

// Every reply of a whole Quarrow write (17 erase frames and 16 write frames a page for
// 1,024 pages) can wait for the adapter's latency timer.
constexpr long QUARROW_REPLIES =
    FLASH_LAST_ERASE_ADDRESS / FLASH_ERASE_STEP + 1 + static_cast<long>(FLASH_MAX_PAGES) * FLASH_SUBFRAMES_PER_PAGE;

// 16401 -> "16,401".
std::string Thousands(long number)
{
    std::string digits = std::to_string(number), text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0)
            text += ',';
        text += digits[i];
    }
    return text;
}

}  // namespace

std::string DoctorLatencyLine(const std::string& device, long ms, const std::string& fix)
{
    const std::string text = std::to_string(ms);
    if (ms <= LATENCY_TIMER_WARN_MS)
        return "ok: latency timer " + text + " ms";
    const long total = ms * QUARROW_REPLIES;  // ms
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(total) / 1000.0);
    return "warning: the latency timer of " + device + " is " + text +
           " ms: every reply can wait that long, and a whole Quarrow write has " + Thousands(QUARROW_REPLIES) +
           " replies: " + text + " ms \u00d7 " + Thousands(QUARROW_REPLIES) + " = " + seconds + " s; fix: " + fix;
}

int PrintDoctor(const std::string& port)
{
    const char* root = std::getenv("SUITE_SYSTEM_ROOT");
    return RunDoctor(port, root ? root : "", stdout);
}
