// The error box with its test hook, and the debug-build trace formatting.
#include "platform/Diagnostics.h"

#include "platform/PlatformOutput.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

namespace {

std::mutex g_hookLock;
// Shared so that a box shown on one thread survives the hook being replaced meanwhile.
std::shared_ptr<ErrorBoxHook> g_hook;

}  // namespace

void ShowErrorBox(const char* text, const char* caption)
{
    std::shared_ptr<ErrorBoxHook> hook;
    {
        std::lock_guard<std::mutex> lock(g_hookLock);
        hook = g_hook;
    }
    if (hook)
        (*hook)(text, caption);
    else
        PlatformErrorBox(text, caption);
}

void SetErrorBoxHook(ErrorBoxHook hook)
{
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_hook = hook ? std::make_shared<ErrorBoxHook>(std::move(hook)) : nullptr;
}

#ifndef NDEBUG
void DebugTrace(const char* format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);  // cut, never overrun
    va_end(args);
    PlatformDebugOutput(line);
}
#endif
