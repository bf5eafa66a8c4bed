// The engine's two outlets to the user and the developer: the modal error box and
// the debug-build trace lines. Common code (Diagnostics.cpp) handles the test hook
// and the formatting; each back end supplies the platform output (PlatformOutput.h).
#pragma once

#include <functional>

// Shows `text` in a modal box with an OK button, captioned `caption`, and returns
// when the user closed it. Win32: MessageBoxA with no owner and the stop icon.
// POSIX: the caption and text on stderr. An installed hook replaces both.
void ShowErrorBox(const char* text, const char* caption);

// Receives every error box instead of the platform (tests count and read them).
using ErrorBoxHook = std::function<void(const char* text, const char* caption)>;
// Installs `hook` for all threads; an empty hook restores the platform's box.
void SetErrorBoxHook(ErrorBoxHook hook);

// Debug builds: formats a trace line (printf style) and writes it to the debugger
// (Win32 OutputDebugStringA) or stderr (POSIX). Release builds: compiled out.
#ifdef NDEBUG
inline void DebugTrace(const char*, ...) {}
#else
void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif
