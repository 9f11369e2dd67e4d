#include "shell/process_globals_win.h"

HWND g_mainWindow = nullptr;
HANDLE g_outgoingSemaphore = nullptr;
