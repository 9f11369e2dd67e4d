// The Win32 objects that the main thread creates at start-up and the I/O thread uses.
//
// Both are created once by wWinMain on the main thread before the I/O thread starts, and never
// destroyed explicitly (the process ends with them).
#pragma once

#include <windows.h>

// The hidden main window; null until created. The I/O thread posts WM_CLOSE to it to end the
// process.
extern HWND g_mainWindow;

// Released when a message is queued while the I/O thread waits on it (initial count 0,
// maximum kOutgoingSemaphoreMax). Null until created.
extern HANDLE g_outgoingSemaphore;
constexpr LONG kOutgoingSemaphoreMax = 99999;
