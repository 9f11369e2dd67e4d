// The crash reporter: called once at start-up, it makes an unhandled exception in any thread
// leave a minidump in the user's temporary folder, named
//   <application>-<process id>-<yyyymmdd>-<hhmmss>.dmp
// so that a crash on a user's machine can be examined later. Nothing is uploaded.
//
// Threads: FaultSinkInitialize is called on the main thread before any other thread starts.
// The dump is written on a helper thread that the filter starts, so that a crash caused by a
// stack overflow still has a stack to write it with; the faulting thread waits for it.
#pragma once

#include <cstdint>
#include <string>

// How the reporter's own dialogs would be scaled; lensbridge shows none and passes 0.
enum FaultSinkScalingFactor {
  kFaultSinkScalingDefault = 0,
  kFaultSinkScalingSystem = 1,
  kFaultSinkScalingPerMonitor = 2,
};

// Called at crash time to add a text annotation; it fills `text` and returns its length in
// bytes. The text is written beside the dump as <dump name>.txt.
using FaultSinkAnnotationCallback = std::uint64_t (*)(std::string& text);
// Called at crash time before the dump is written, e.g. to flush a log.
using FaultSinkCrashCallback = void (*)();

// Installs the unhandled-exception filter. `context` is reserved (pass null). Every string
// may be null; application names the dump file ("crash" when null or empty), version and
// build go into the annotation file when one is written. uploadUrl and userId are accepted
// for the call site's sake and not used: nothing leaves the machine. showDialog and
// restartAfterCrash are not supported (lensbridge has no user interface) and must be false.
// Returns false when the filter could not be installed (a second call replaces the first).
bool FaultSinkInitialize(void* context, const char* application, const char* version,
                         const char* build, const char* uploadUrl, const char* userId,
                         FaultSinkAnnotationCallback annotate, FaultSinkCrashCallback onCrash,
                         bool showDialog, FaultSinkScalingFactor scaling, bool restartAfterCrash);

// The full path of the last dump written in this process, empty when none; for tests.
std::string FaultSinkLastDumpPath();
