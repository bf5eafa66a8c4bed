// The error box and the debug trace output on Win32.
#include "platform/PlatformOutput.h"

#include <windows.h>

void PlatformErrorBox(const char* text, const char* caption)
{
    // No owner: the box may come from the monitor thread, which owns no window. Without
    // one, Windows may open it behind the program's dialog, where nobody sees it while
    // the port it reports waits for it to be closed: it is brought to the front and kept
    // above the other windows.
    MessageBoxA(nullptr, text, caption, MB_ICONSTOP | MB_SETFOREGROUND | MB_TOPMOST);
}

void PlatformDebugOutput(const char* line)
{
    OutputDebugStringA(line);
}
