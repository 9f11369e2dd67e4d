#include "shell/fault_sink.h"

#include <windows.h>
// dbghelp.h needs windows.h first.
#include <dbghelp.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/scoped_handles_win.h"

namespace {

// Everything the filter needs is prepared at initialisation: the filter runs in a damaged
// process and should allocate as little as possible.
struct CFaultSinkSettings {
  char application[64] = "crash";
  std::string version;
  std::string build;
  std::string directory;  // the temporary folder, with its trailing separator
  FaultSinkAnnotationCallback annotate = nullptr;
  FaultSinkCrashCallback onCrash = nullptr;
  char lastDumpPath[MAX_PATH * 3] = "";
};

CFaultSinkSettings g_faultSinkSettings;
// Only the first crashing thread writes a dump; a second one waits in the filter forever
// rather than racing it, and the process ends when the first filter returns.
volatile LONG g_faultSinkBusy = 0;

struct CDumpRequest {
  EXCEPTION_POINTERS* exception;
  DWORD threadId;
};

void CopyBounded(char* target, size_t size, const char* text) {
  if (!text || !*text) return;
  std::snprintf(target, size, "%s", text);
}

DWORD WINAPI WriteDumpThreadProc(void* parameter) {
  const CDumpRequest* request = static_cast<const CDumpRequest*>(parameter);
  CFaultSinkSettings& settings = g_faultSinkSettings;

  SYSTEMTIME now;
  GetLocalTime(&now);
  char path[sizeof settings.lastDumpPath];
  std::snprintf(path, sizeof path, "%s%s-%lu-%04u%02u%02u-%02u%02u%02u.dmp",
                settings.directory.c_str(), settings.application, GetCurrentProcessId(), now.wYear,
                now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);

  std::u16string widePath = platform::utf8ToUtf16(path);
  CScopedKernelHandle file(CreateFileW(reinterpret_cast<const wchar_t*>(widePath.c_str()),
                                       GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return 1;

  MINIDUMP_EXCEPTION_INFORMATION info;
  info.ThreadId = request->threadId;
  info.ExceptionPointers = request->exception;
  info.ClientPointers = FALSE;
  BOOL written =
      MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), MiniDumpNormal,
                        request->exception ? &info : nullptr, nullptr, nullptr);
  file.reset();
  if (!written) {
    DeleteFileW(reinterpret_cast<const wchar_t*>(widePath.c_str()));
    return 1;
  }
  std::memcpy(settings.lastDumpPath, path, sizeof path);

  // The annotation file carries what the dump itself has no field for.
  std::string text = "version=" + settings.version + "\nbuild=" + settings.build + "\n";
  if (settings.annotate) {
    std::string extra;
    settings.annotate(extra);
    text += extra;
  }
  std::string annotationPath = std::string(path) + ".txt";
  if (std::FILE* out = platform::openForWriting(annotationPath)) {
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
  }
  return 0;
}

LONG WINAPI FaultSinkFilter(EXCEPTION_POINTERS* exception) {
  if (InterlockedCompareExchange(&g_faultSinkBusy, 1, 0) != 0) {
    for (;;) Sleep(INFINITE);
  }
  if (g_faultSinkSettings.onCrash) g_faultSinkSettings.onCrash();

  CDumpRequest request{exception, GetCurrentThreadId()};
  // The faulting thread may have no stack left (a stack overflow), so a fresh thread writes.
  CScopedKernelHandle writer(
      CreateThread(nullptr, 256 * 1024, WriteDumpThreadProc, &request, 0, nullptr));
  if (writer.valid()) {
    WaitForSingleObject(writer.get(), INFINITE);
  } else {
    WriteDumpThreadProc(&request);
  }
  // Let the system end the process as it would have without us.
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

bool FaultSinkInitialize(void* context, const char* application, const char* version,
                         const char* build, const char* uploadUrl, const char* userId,
                         FaultSinkAnnotationCallback annotate, FaultSinkCrashCallback onCrash,
                         bool showDialog, FaultSinkScalingFactor scaling, bool restartAfterCrash) {
  (void)context;
  (void)uploadUrl;
  (void)userId;
  (void)scaling;
  if (showDialog || restartAfterCrash) return false;

  CFaultSinkSettings& settings = g_faultSinkSettings;
  CopyBounded(settings.application, sizeof settings.application, application);
  settings.version = version ? version : "";
  settings.build = build ? build : "";
  settings.directory = platform::temporaryDirectory();
  // A temporary folder the system cannot name must not cost the dumps.
  if (settings.directory.empty()) settings.directory = platform::fallbackTemporaryDirectory();
  settings.annotate = annotate;
  settings.onCrash = onCrash;
  if (settings.directory.empty()) return false;

  // Keep the system's own error box away: the host cannot dismiss it for us.
  SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(FaultSinkFilter);
  return true;
}

std::string FaultSinkLastDumpPath() { return g_faultSinkSettings.lastDumpPath; }
