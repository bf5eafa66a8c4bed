// The error box and the debug trace output on Win32.
#include "platform/PlatformOutput.h"

#include <windows.h>

void PlatformErrorBox(const char* text, const char* caption) {
    // No owner: the box may come from the monitor thread, which owns no window.
    MessageBoxA(nullptr, text, caption, MB_ICONSTOP);
}

void PlatformDebugOutput(const char* line) { OutputDebugStringA(line); }
