// Internal to the platform layer: what each back end supplies to Diagnostics.cpp.
#pragma once

// Shows the error box with the platform's own means (Win32 MessageBoxA with
// MB_ICONSTOP and no owner; POSIX stderr). Blocks until the user closed it.
void PlatformErrorBox(const char* text, const char* caption);
// Writes one finished trace line to the platform's debug output.
void PlatformDebugOutput(const char* line);
