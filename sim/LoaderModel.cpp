#include "sim/LoaderModel.h"

#include <cstdio>

namespace sim {

void LoaderModel::AddError(std::string text)
{
    ++m_stats.errorCount;
    m_frameLog.push_back("error: " + text);
    if (m_stats.errors.size() < MAX_ERROR_TEXTS)
        m_stats.errors.push_back(std::move(text));
}

void LoaderModel::CountFrame(std::string logLine)
{
    ++m_stats.framesReceived;
    m_frameLog.push_back(std::move(logLine));
}

std::string Printable(std::string_view bytes)
{
    std::string text;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", c);
            text += hex;
        }
    }
    return text;
}

}  // namespace sim
