// Port-number overrides shared by both back ends.
#include "platform/PortNames.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>

namespace {

std::mutex g_namesLock;
std::map<unsigned, std::string> g_overrides;

}  // namespace

void SetPortDevice(unsigned portnr, const std::string& device)
{
    std::lock_guard<std::mutex> lock(g_namesLock);
    g_overrides[portnr] = device;
}

void ClearPortDevice(unsigned portnr)
{
    std::lock_guard<std::mutex> lock(g_namesLock);
    g_overrides.erase(portnr);
}

std::optional<std::string> PortDeviceOverride(unsigned portnr)
{
    std::lock_guard<std::mutex> lock(g_namesLock);
    auto it = g_overrides.find(portnr);
    if (it == g_overrides.end())
        return std::nullopt;
    return it->second;
}

unsigned ParseComName(const char* name)
{
    if (!name || std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M')
        return 0;
    unsigned long n = 0;
    const char* p = name + 3;
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        n = n * 10 + static_cast<unsigned long>(*p - '0');
        if (n > 0xFFFFFFFFul)
            return 0;
    }
    return *p == '\0' ? static_cast<unsigned>(n) : 0;
}
