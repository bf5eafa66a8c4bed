// The one narrow door through which every tool's protocol logic (UpdateJob,
// WholeFlashUpdater, FlashEraser) reaches the outside world. The Windows dialogs,
// the console front ends and the tests implement it; the logic itself never touches
// a port, a window or a clock. Every call comes from the user-interface thread.
//
// Classes in this file: ToolEvent (what the logic decided), ToolHost (the door).
#pragma once

#include <cstddef>
#include <cstdint>

// What a tool's logic has just decided about its run. The logic raises each event at
// the moment its own state machine decides it, once, before it acts on it (before the
// frame it sends in answer, before the box it shows), so that a front end learns what
// happened from the logic and never looks at the device's bytes or at the texts.
enum ToolEventKind {
    TOOL_EVENT_STARTED,       // a run began: the IAP loader's start reply, Quarrow's accepted
                              // UPDATE, Dunmere's ERASE; unit and total of its first stage
    TOOL_EVENT_STAGE,         // a later stage began: the IAP loader takes blocks, Quarrow's write
                              // stage (write frames); unit and total of that stage
    TOOL_EVENT_ACKNOWLEDGED,  // unit `number` (1-based) of `total` was acknowledged
    TOOL_EVENT_DATA_ERROR,    // IAP: the device reported a bad block; nothing is sent
                              // until its next reply
    TOOL_EVENT_REJECTED,      // Quarrow: write frame `number` of `total` was rejected and
                              // is sent again now
    TOOL_EVENT_WAIT,          // Tirell: the loader asked the tool to wait
    TOOL_EVENT_COMPLETED,     // the run is complete; the success text follows
    TOOL_EVENT_REFUSED,       // a run was refused or ended without writing; see `refusal`
};

// What the numbers of an event count.
enum ToolUnit {
    UNIT_NONE,
    UNIT_ERASE_FRAME,  // Dunmere's chain and Quarrow's erase stage
    UNIT_BLOCK,        // Solvane's and Tirell's 128-byte blocks
    UNIT_WRITE_FRAME,  // Quarrow's 132-byte write frames, 16 a page
};

// Why a run was refused, as a value.
enum ToolRefusal {
    REFUSAL_NONE,
    REFUSAL_NO_IMAGE,     // no image was loaded
    REFUSAL_EMPTY_IMAGE,  // the image holds nothing to write
    REFUSAL_NOT_READY,    // a run is being answered, or no port is open
};

struct ToolEvent {
    ToolEventKind kind = TOOL_EVENT_STARTED;
    ToolUnit unit = UNIT_NONE;
    long number = 0;  // the unit the event is about, 1-based; 0 when none
    long total = 0;   // units in the stage; 0 while unknown
    ToolRefusal refusal = REFUSAL_NONE;
};

class ToolHost {
public:
    virtual ~ToolHost() = default;

    // Hands a frame to the port as bytes (QueueTransmit's byte form). The bytes are
    // copied before the call returns, so the caller may reuse its buffer at once.
    virtual void SendBytes(const std::uint8_t* data, std::size_t length) = 0;
    // Hands a text frame to the port; its characters are sent without terminator.
    virtual void SendText(const char* text) = 0;

    // Window timers of the owner, identified by small fixed ids. Starting a running
    // timer restarts it with the new period; stopping a stopped one does nothing.
    virtual void StartTimer(unsigned id, unsigned periodMs) = 0;
    virtual void StopTimer(unsigned id) = 0;

    // A modal message with an OK button, captioned with the program's name. Returns
    // once the user has closed it; timer ticks keep arriving while it is open.
    virtual void ShowMessage(const char* text) = 0;

    // The status line and the progress text (static texts of the dialog). Display
    // only: a host that shows no such line need not implement them.
    virtual void SetStatusText(const char* text) { (void)text; }
    virtual void SetProgressText(const char* text) { (void)text; }
    // The progress bar: its position, and its range as read once at start-up (the
    // default is the platform's default range, 0 .. 100).
    virtual void SetProgressPos(int pos) { (void)pos; }
    virtual void GetProgressRange(int& lower, int& upper)
    {
        lower = 0;
        upper = 100;
    }

    // What the logic decided (ToolEvent). Display only, like the texts.
    virtual void OnToolEvent(const ToolEvent& event) { (void)event; }

    // Posts a private message to the owner's own window: it is delivered later, after
    // the handler that is running now has returned, never from inside it.
    virtual void PostToSelf(unsigned message) = 0;
};
