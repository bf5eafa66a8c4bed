// The settings text of BuildCommDCBA, "baud=115200 parity=N data=8 stop=1", read
// into a LineState, for the back ends that have no such call of their own (POSIX and
// the simulated ports).
#pragma once

#include "platform/SerialTypes.h"

// Applies the "key=value" pairs of `settings` (blank-separated; keys baud, parity,
// data, stop) to `state`, keeping what the text does not name; as BuildCommDCBA, no
// flow control and DTR and RTS raised. False on a bad text, `state` then unchanged.
bool ParseLineSettings(const char* settings, LineState& state);
