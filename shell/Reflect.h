// Notifications that a dialog hands back to the control they concern.
//
// Windows sends WM_DRAWITEM, WM_MEASUREITEM, WM_COMMAND notifications and the
// WM_CTLCOLOR* messages of a child control to its parent. A control that draws or
// handles itself (an owner-drawn button, say) wants them in its own window procedure,
// so the dialog base sends each such message on to the control's window as
// REFLECTED_MESSAGE_BASE + message, with the same wParam and lParam, and returns the
// control's answer. A control that does not handle the reflected message answers 0,
// and the dialog then gives the message its default handling.
#pragma once

constexpr unsigned REFLECTED_MESSAGE_BASE = 0x2000;

constexpr unsigned ReflectedMessage(unsigned message)
{
    return REFLECTED_MESSAGE_BASE + message;
}
