// RunTally: what a console run has done, kept from the ToolEvents the tool's logic
// raises and from nothing else: the stage it is in (its unit and total), the units
// acknowledged in it, whether the run is going, has completed or was refused.
// The programs' progress, --json figures and the stall watchdog read it.
#pragma once

#include "common/ToolHost.h"

class RunTally {
public:
    // Takes one event, in the order the logic raised them.
    void Apply(const ToolEvent& event);

    // Whether an event of this kind moves the run on (the stall watchdog's clock
    // restarts): a run or stage begun, a unit acknowledged, the run completed. A
    // rejection, a data error or a wait is no progress.
    static bool MovesTheRun(ToolEventKind kind);

    ToolUnit Unit() const { return m_nUnit; }           // the current stage's unit; UNIT_NONE before a run
    long Done() const { return m_nDone; }               // units of the stage acknowledged
    long Total() const { return m_nTotal; }             // units in the stage
    bool IsRunning() const { return m_bRunning; }       // from STARTED to COMPLETED or REFUSED
    bool IsCompleted() const { return m_bCompleted; }   // the last run completed
    ToolRefusal Refusal() const { return m_nRefusal; }  // why the last run was refused
    long Rejections() const { return m_nRejections; }   // frames the device rejected, over all runs
    long DataErrors() const { return m_nDataErrors; }   // data errors the device reported, over all runs

private:
    ToolUnit m_nUnit = UNIT_NONE;
    long m_nDone = 0;
    long m_nTotal = 0;
    bool m_bRunning = false;
    bool m_bCompleted = false;
    ToolRefusal m_nRefusal = REFUSAL_NONE;
    long m_nRejections = 0;
    long m_nDataErrors = 0;
};
