// The POSIX outlets of the error box and the debug trace: both go to stderr.
#include "platform/PlatformOutput.h"

#include <cstdio>

void PlatformErrorBox(const char* text, const char* caption)
{
    std::fprintf(stderr, "[%s] %s", caption, text);
    std::fflush(stderr);
}

void PlatformDebugOutput(const char* line)
{
    std::fputs(line, stderr);
}
