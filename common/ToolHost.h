// The one narrow door through which every tool's protocol logic (UpdateJob,
// WholeFlashUpdater, FlashEraser) reaches the outside world. The Windows dialogs,
// the console front ends and the tests implement it; the logic itself never touches
// a port, a window or a clock. Every call comes from the user-interface thread.
#pragma once

#include <cstddef>
#include <cstdint>

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

    // The status line and the progress text (static texts of the dialog).
    virtual void SetStatusText(const char* text) = 0;
    virtual void SetProgressText(const char* text) = 0;
    // The progress bar: its position, and its range as read once at start-up.
    virtual void SetProgressPos(int pos) = 0;
    virtual void GetProgressRange(int& lower, int& upper) = 0;

    // Posts a private message to the owner's own window: it is delivered later, after
    // the handler that is running now has returned, never from inside it.
    virtual void PostToSelf(unsigned message) = 0;
};
