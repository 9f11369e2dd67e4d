// The command dispatcher: recognises a host request by its name and runs its handler with the
// SDK lock held for the whole command.
//
// Threads: DispatchHostMessage runs only on the camera thread (the main thread, through
// RunCameraWork), which also runs the heartbeat; it takes g_sdkLock for the command.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "camera/sdk_lock.h"

class ZnLuaTE;

// 0 at the start of every dispatch, 1 once "shutdown" has been handled. Written by the I/O
// thread; the timer handler reads it under g_sdkLock and does no SDK work while it is 1.
extern std::atomic<int> g_shutdownRequested;

// A command's work. `params` is lent for the call (normally a table, but any value or null);
// replies, if any, are queued with QueueMessageToHost and the request's id.
// Handlers run with g_sdkLock held.
using HostCommandHandler = void (*)(std::uint32_t requestId, const ZnLuaTE* params);

struct HostCommand {
  const char* name;
  HostCommandHandler handler;
};

// The command table in the order names are compared; a name matches only as a whole and
// case-sensitively.
extern const HostCommand kHostCommands[];
extern const std::size_t kHostCommandCount;

// DispatchHostMessage's answer for a command that asked to be run again later.
constexpr int kDispatchAgainLater = 2;

// Runs the command named by `name` (a string value) with `params`; a name that is not a
// string, or that no command has, takes the lock and does nothing. Neither value is kept or
// freed. Returns 1 when "shutdown" was handled, kDispatchAgainLater when the command asked to
// be run again (whole, from the start) after DispatchAgainDelayMs(), else 0.
int DispatchHostMessage(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* params)
    LB_EXCLUDES(g_sdkLock);

// For a handler that cannot finish yet without waiting: it has done nothing the host can see,
// and is run again, with the same request, `ms` later. The commands behind it wait.
void DispatchAgainLater(unsigned ms);
unsigned DispatchAgainDelayMs();

// Installed by the Windows shell: stops the main window's heartbeat timer. "shutdown" calls it
// on the camera thread with g_sdkLock held. Null means nothing to stop (tests).
using HeartbeatStopHook = void (*)();
void SetHeartbeatStopHook(HeartbeatStopHook hook);
