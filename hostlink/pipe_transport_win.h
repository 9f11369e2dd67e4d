// The pipe transport: the I/O thread that owns both named pipes for the life of the process.
//
// It connects the pipes (exactly one host connection per process), reads one request at a
// time and hands it to its request handler (unless a standing reply answers it), and sends
// what the rest of the program queued with QueueMessageToHost, one message per pass of its
// loop. It ends when the session's end is asked for (after "shutdown": "shutdownComplete" goes
// out after everything queued before it) or when the host's end of the input pipe breaks, and
// then posts WM_CLOSE to the main window, which ends the process.
//
// Threads: RunPipeServer is the whole life of the I/O thread, started once by the process after
// its main window and wake-up semaphore exist. Nothing else touches the pipes.
#pragma once

#include <windows.h>

#include "hostlink/host_request.h"
#include "hostlink/host_session_end.h"
#include "hostlink/pipe_names.h"
#include "platform/scoped_handles_win.h"

// Both pipes of the host link, one instance each, made before the I/O thread runs.
struct CHostPipes {
  CScopedKernelHandle input;   // host to process
  CScopedKernelHandle output;  // process to host
};

// Creates both pipes with one instance each, so that a second server (an impostor, or another
// copy of this program) cannot create the same names while we hold them; Wine enforces the
// instance limit although it ignores FILE_FLAG_FIRST_PIPE_INSTANCE. When another process
// holds a name, tries again until `retryMs` have passed, since that process may be ending.
// False, traced, when the pipes could not be had; `pipes` is then empty. Called by wWinMain
// on the main thread before the modules load and the I/O thread starts.
bool CreateHostPipes(const wchar_t* inputName, const wchar_t* outputName, unsigned retryMs,
                     CHostPipes& pipes);

// What one run of the pipe server uses; the process's run uses the fixed pipe names, its
// wake-up semaphore, its main window and the camera worker.
struct CPipeServerConfig {
  const wchar_t* inputPipeName;      // host to process
  const wchar_t* outputPipeName;     // process to host
  HANDLE wakeSemaphore;              // released by the queue's wake hook; may be null; not owned
  HWND* closeWindow;                 // WM_CLOSE goes to *closeWindow at the end; may be null
  HostRequestHandler handleRequest;  // runs each request on this thread; empty drops them
  CHostSessionEnd* sessionEnd;       // the session ends when asked here; may be null; not owned
  // Pipes made beforehand with CreateHostPipes, taken over by the server; when null the
  // server creates its own (once, without retrying).
  CHostPipes* pipes = nullptr;
};

// Runs the whole life of the pipe server on the calling thread. Returns 0 when a pipe could
// not be created (nothing is posted then), 1 in every other case.
DWORD RunPipeServer(const CPipeServerConfig& config);
