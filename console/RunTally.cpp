#include "console/RunTally.h"

void RunTally::Apply(const ToolEvent& event)
{
    switch (event.kind) {
    case TOOL_EVENT_STARTED:
        m_bRunning = true;
        m_bCompleted = false;
        m_nRefusal = REFUSAL_NONE;
        [[fallthrough]];
    case TOOL_EVENT_STAGE:
        m_nUnit = event.unit;
        m_nTotal = event.total;
        m_nDone = 0;
        return;
    case TOOL_EVENT_ACKNOWLEDGED:
        m_nUnit = event.unit;
        m_nTotal = event.total;
        m_nDone = event.number;
        return;
    case TOOL_EVENT_COMPLETED:
        m_bRunning = false;
        m_bCompleted = true;
        m_nUnit = event.unit;
        m_nTotal = event.total;
        m_nDone = event.total;
        return;
    case TOOL_EVENT_REFUSED:
        m_bRunning = false;
        m_nRefusal = event.refusal;
        return;
    case TOOL_EVENT_DATA_ERROR:
        ++m_nDataErrors;
        return;
    case TOOL_EVENT_REJECTED:
        ++m_nRejections;
        return;
    case TOOL_EVENT_WAIT:
        return;
    }
}

bool RunTally::MovesTheRun(ToolEventKind kind)
{
    switch (kind) {
    case TOOL_EVENT_STARTED:
    case TOOL_EVENT_STAGE:
    case TOOL_EVENT_ACKNOWLEDGED:
    case TOOL_EVENT_COMPLETED:
        return true;
    case TOOL_EVENT_DATA_ERROR:
    case TOOL_EVENT_REJECTED:
    case TOOL_EVENT_WAIT:
    case TOOL_EVENT_REFUSED:
        return false;
    }
    return false;
}
