// Quarrow's line: 115200 baud; 512 bytes of transmit buffer at start-up, 2048 on a
// pick (its longest frame has 141 bytes).
#pragma once

#include "common/ToolLine.h"

constexpr ToolLine WHOLEFLASH_LINE = {115200, 512, 2048};
