#include "sim/ReplyShaper.h"

namespace sim {

ReplyShaper::ReplyShaper(const FaultPlan& plan)
    : m_plan(plan),
      m_rng(plan.seed)
{
}

bool ReplyShaper::IsMarker(std::uint8_t byte)
{
    return byte == '+' || byte == '-' || byte == '*' || byte == '#';
}

std::string ReplyShaper::Shape(std::string_view reply, unsigned long framesReceived, bool counted)
{
    const long index = counted ? m_nReplies++ : -1;
    m_nDelayMs = m_plan.replyDelayMs;
    if (const auto slow = m_plan.slowReplyMs.find(index); index >= 0 && slow != m_plan.slowReplyMs.end())
        m_nDelayMs += slow->second;
    if (m_plan.silentAfter >= 0 && framesReceived > static_cast<unsigned long>(m_plan.silentAfter))
        m_bSilent = true;
    if (m_bSilent)
        return {};

    std::string bytes;
    if (m_plan.noiseMax > 0) {
        const auto count = static_cast<unsigned>(m_rng() % (m_plan.noiseMax + 1));
        while (bytes.size() < count) {
            const auto byte = static_cast<std::uint8_t>(m_rng() & 0xFF);
            if (!IsMarker(byte))
                bytes += static_cast<char>(byte);
        }
    }
    if (const auto before = m_plan.beforeReply.find(index); index >= 0 && before != m_plan.beforeReply.end())
        bytes += before->second;
    if (index >= 0 && index == m_plan.cutReply && !reply.empty()) {
        std::size_t keep = m_plan.cutLength;
        if (keep == 0 || keep >= reply.size())
            keep = reply.size() - 1;
        reply = reply.substr(0, keep);
    }
    bytes += reply;
    return bytes;
}

}  // namespace sim
