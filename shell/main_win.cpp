// The process entry: sets up the process-global objects in a fixed order, starts the I/O
// thread and runs the camera thread's loop (the camera worker's turns and the hidden window's
// messages). The process ends when the I/O thread posts WM_CLOSE to the window, or at once
// (exit code 2) when the host pipes cannot be had.
//
// Threads: everything here runs on the main thread, which is also the camera thread: its worker
// runs the host's commands, the heartbeat and the cameras' long operations. The I/O thread only
// hands requests over, writes what is queued and posts WM_CLOSE at the end.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "bridge/camera_worker.h"
#include "bridge/notifications.h"
#include "camera/camera_clock.h"
#include "camera/camera_host.h"
#include "camera/download/download_directory.h"
#include "camera/download/file_naming.h"
#include "camera/modules/module_manager.h"
#include "hostlink/outgoing_queue.h"
#include "hostlink/pipe_transport_win.h"
#include "lensbridge_version.h"
#include "platform/trace.h"
#include "shell/fault_sink.h"
#include "shell/process_globals_win.h"
#include "shell/resource.h"

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

constexpr int kMaxLoadString = 100;

// Another process holding the pipe names may be ending (a previous run shutting down), so
// they are tried for this long before the process gives up.
constexpr unsigned kPipeClaimRetryMs = 10000;
// The exit code when the pipes could not be had; an orderly end is 0.
constexpr int kExitPipesUnavailable = 2;
WCHAR g_titleText[kMaxLoadString];
WCHAR g_windowClassName[kMaxLoadString];

// Written by CreateThread on the main thread, read by whichever thread queues a message.
std::atomic<DWORD> g_ioThreadId{0};

// The outgoing queue calls this for the first message queued while the I/O thread waits. A
// release that would pass the maximum fails; the semaphore is a wake-up signal and not a
// count, so that failure is harmless and ignored. The I/O thread's own messages need no
// wake-up: it is awake and drains the queue before it waits again.
void WakeIoThread() {
  if (GetCurrentThreadId() == g_ioThreadId) return;
  if (g_outgoingSemaphore) ReleaseSemaphore(g_outgoingSemaphore, 1, nullptr);
}

// How the camera worker reaches the rest of the process: the event that wakes the camera thread
// (this one) from its wait, and the pipe thread's end of the session.
class CProcessWorkerDelegate : public CCameraWorkerDelegate {
 public:
  CProcessWorkerDelegate() : m_wakeEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  void wakeCameraThread() override { SetEvent(m_wakeEvent.get()); }
  void endHostSession(std::uint32_t requestId) override { m_sessionEnd.request(requestId); }
  HANDLE wakeEvent() const { return m_wakeEvent.get(); }
  CHostSessionEnd& sessionEnd() { return m_sessionEnd; }

 private:
  CScopedKernelHandle m_wakeEvent;  // auto reset
  CHostSessionEnd m_sessionEnd;
};

// What the I/O thread is handed: the pipes wWinMain made (taken over by the server), the
// worker its requests go to and the session's end.
struct CPipeThreadStart {
  CHostPipes* pipes;
  CCameraWorker* worker;
  CHostSessionEnd* sessionEnd;
};

// The I/O thread: the pipe server with the process's pipes. It only reads, hands the host's
// requests to the camera worker and writes; it never runs camera work.
DWORD WINAPI PipeThreadProc(void* start) {
  const CPipeThreadStart& with = *static_cast<const CPipeThreadStart*>(start);
  CCameraWorker* worker = with.worker;
  CPipeServerConfig config{kInputPipeName,
                           kOutputPipeName,
                           g_outgoingSemaphore,
                           &g_mainWindow,
                           [worker](std::uint32_t id, const ZnLuaTE* name, const ZnLuaTE* params) {
                             worker->post(id, name, params);
                           },
                           with.sessionEnd,
                           with.pipes};
  return RunPipeServer(config);
}

// The camera thread's loop: the worker's turns, and the window's messages (WM_CLOSE, and
// whatever a camera module posts to the thread) between them. Returns the exit code of WM_QUIT.
int RunCameraThread(CCameraWorker& worker, HANDLE wakeEvent, HACCEL accelerators) {
  for (;;) {
    const unsigned waitMs = worker.runTurn();
    // While this thread sleeps, the pipe thread answers "isLiveViewOn" from what it leaves here;
    // whatever runs once it wakes may change that answer, so it is withdrawn first.
    worker.offerStandingReplies();
    const DWORD woken = MsgWaitForMultipleObjectsEx(
        1, &wakeEvent, waitMs == kCameraIdle ? INFINITE : waitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    WithdrawStandingReply();
    // A request is answered before the window's messages are fetched: under Wine each fetch is
    // a server call, which would stand between the request and its reply.
    if (woken == WAIT_OBJECT_0) worker.runTurn();
    MSG msg = {};
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return static_cast<int>(msg.wParam);
      if (!TranslateAcceleratorW(msg.hwnd, accelerators, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
  }
}

// The host is gone, or "shutdown" has run: whatever is left of the camera side is closed, so
// that no transfer leaves a ".part" file behind and every camera is let go of properly. Files
// that another program still holds get the care "shutdown" gives them: a whole one goes on
// trying for its name, and a cut-off one for its removal, for up to a minute, before the
// process ends. Nothing else is served by then, so the pauses between the tries hold nobody up.
void CloseCameraSide(CCameraWorker& worker) {
  worker.closeCameras();
  const std::uint32_t start = CameraClockMs();
  for (;;) {
    {
      CSdkLockGuard lock(g_sdkLock);
      if (!StepHeldFiles() || CameraClockMs() - start >= kNamingPatienceMs) {
        EndHeldFiles();
        return;
      }
    }
    Sleep(kCameraPollMs);
  }
}

ATOM RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = WndProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_LENSBRIDGE));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszMenuName = MAKEINTRESOURCEW(IDC_LENSBRIDGE);
  windowClass.lpszClassName = g_windowClassName;
  windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL));
  return RegisterClassExW(&windowClass);
}

void InitializeCrashReporter() {
  char version[32];
  char build[32];
  std::memset(version, 0, sizeof version);
  std::memset(build, 0, sizeof build);
  std::snprintf(version, sizeof version, "%s", LENSBRIDGE_VERSION_STRING);
  std::snprintf(build, sizeof build, "[%s]", LENSBRIDGE_BUILD_ID);
  FaultSinkInitialize(nullptr, "lensbridge", version, build, nullptr, nullptr, nullptr, nullptr,
                      false, kFaultSinkScalingDefault, false);
}

}  // namespace

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == IDM_EXIT) {
        DestroyWindow(hwnd);
        return 0;
      }
      return DefWindowProcW(hwnd, message, wParam, lParam);
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(hwnd, &paint);
      EndPaint(hwnd, &paint);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_USER:
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

int APIENTRY wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  LoadStringW(instance, IDS_APP_TITLE, g_titleText, kMaxLoadString);
  LoadStringW(instance, IDC_LENSBRIDGE, g_windowClassName, kMaxLoadString);
  RegisterMainWindowClass(instance);

  // Before any module is loaded, so that a module that faults while it starts leaves a dump.
  InitializeCrashReporter();

  // The pipes come before the cameras: a process that cannot serve a host must not claim
  // them, or it would hold them out of everyone's reach for as long as it lives.
  static CHostPipes hostPipes;  // taken over by the I/O thread
  if (!CreateHostPipes(kInputPipeName, kOutputPipeName, kPipeClaimRetryMs, hostPipes)) {
    Trace("lensbridge exits: the host pipes are held by another process");
    return kExitPipesUnavailable;
  }

  // The module manager is created here, before the window and the I/O thread exist, so that
  // no command can arrive before the modules are loaded. What the cameras report reaches the
  // host through the notifications installed first; they live as long as the process.
  static CHostNotifications hostNotifications;
  SetCameraHost(&hostNotifications);
  {
    CSdkLockGuard lock(g_sdkLock);
    CNikonModuleManager::getInstance();
  }
  // A process ended from outside mid-download left its ".part" file behind, and one that ended
  // while another program held a whole file left that file to be named.
  SettleLeftoverFiles(g_downloadDirectory);

  // The SDK lock (g_sdkLock) is a mutex with static storage: it exists before wWinMain
  // runs, so there is nothing to create at this point.

  g_mainWindow =
      CreateWindowExW(0, g_windowClassName, g_titleText, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                      CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
  if (!g_mainWindow) {
    Trace("CreateWindowExW failed: %lu", GetLastError());
    return 0;
  }
  // The window is never shown; it exists as the I/O thread's close target.
  UpdateWindow(g_mainWindow);

  g_outgoingSemaphore = CreateSemaphoreW(nullptr, 0, kOutgoingSemaphoreMax, nullptr);
  SetOutgoingWakeHook(WakeIoThread);
  // Both live as long as the process: the I/O thread is never joined.
  static CProcessWorkerDelegate workerDelegate;
  static CCameraWorker worker(workerDelegate, CameraClockMs, CModuleLane::Mode::OwnThread);

  // The thread is neither joined nor closed: process exit ends it if it still runs.
  static CPipeThreadStart pipeThreadStart{&hostPipes, &worker, &workerDelegate.sessionEnd()};
  DWORD ioThreadId = 0;
  HANDLE ioThread = CreateThread(nullptr, 0, PipeThreadProc, &pipeThreadStart, 0, &ioThreadId);
  g_ioThreadId.store(ioThreadId);
  if (!ioThread) LogLine("CreateThread failed");

  HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDC_LENSBRIDGE));
  const int exitCode = RunCameraThread(worker, workerDelegate.wakeEvent(), accelerators);
  CloseCameraSide(worker);
  return exitCode;
}
