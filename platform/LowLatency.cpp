// The low-latency request setting and the record of each open, shared by both back ends.
#include "platform/LowLatency.h"

#include <atomic>
#include <map>
#include <mutex>

namespace {

std::atomic<bool> g_requested{true};

std::mutex g_recordLock;
std::map<std::string, LowLatencyState> g_atOpen;  // device path -> its last open's outcome

}  // namespace

void SetLowLatencyRequest(bool request)
{
    g_requested.store(request);
}

bool LowLatencyRequested()
{
    return g_requested.load();
}

void RecordLowLatency(const std::string& device, LowLatencyState state)
{
    std::lock_guard<std::mutex> lock(g_recordLock);
    g_atOpen[device] = state;
}

std::optional<LowLatencyState> LowLatencyAtOpen(const std::string& device)
{
    std::lock_guard<std::mutex> lock(g_recordLock);
    auto it = g_atOpen.find(device);
    if (it == g_atOpen.end())
        return std::nullopt;
    return it->second;
}

const char* LowLatencyStateName(LowLatencyState state)
{
    switch (state) {
    case LowLatencyState::Set:
        return "set";
    case LowLatencyState::Available:
        return "available";
    case LowLatencyState::Refused:
        return "refused";
    case LowLatencyState::Unsupported:
        return "unsupported";
    case LowLatencyState::Off:
        return "off";
    case LowLatencyState::NotApplicable:
        return "not applicable";
    case LowLatencyState::Unknown:
        break;
    }
    return "unknown";
}
