// Solvane's and Tirell's line: 19200 baud, one transmit-buffer size for every opening
// (room for a 262-byte block frame).
#pragma once

#include "common/ToolLine.h"

constexpr ToolLine IAP_LINE = {19200, 2048, 2048};
