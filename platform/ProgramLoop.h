// The message loop of a program without a dialog, and its window, for the platform
// being built: MessageLoop (Run, Quit) and LoopWindow (an OwnerWindow whose handler
// runs on the loop's thread). POSIX: the program's own loop; Windows: the thread's
// Win32 message queue.
#pragma once

#ifdef _WIN32
#include "platform/win32/Win32MessageLoop.h"
#else
#include "platform/posix/MessageLoop.h"
#endif
