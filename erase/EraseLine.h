// Dunmere's line: 115200 baud; 512 bytes of transmit buffer at start-up, 2048 on a
// pick (its frames have 7 bytes).
#pragma once

#include "common/ToolLine.h"

constexpr ToolLine ERASE_LINE = {115200, 512, 2048};
