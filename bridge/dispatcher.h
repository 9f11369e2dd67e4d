// The command dispatcher: recognises a host request by its name and runs its handler with the
// SDK lock held for the whole command.
//
// Threads: camera thread only (CCameraWorker); it takes g_sdkLock for the command.
#pragma once

#include <cstddef>
#include <cstdint>

#include "camera/sdk_lock.h"

class ZnLuaTE;

// What became of one dispatch: the command is done, or it has done nothing the host can see
// yet and is to run again (whole, with the same request) `delayMs` later, or it was
// "shutdown", which ends the session once the transfers under way have finished.
struct CommandResult {
  enum class Kind { Done, RunAgainLater, EndSession };
  Kind kind = Kind::Done;
  unsigned delayMs = 0;  // RunAgainLater only

  static CommandResult done() { return {}; }
  static CommandResult runAgainIn(unsigned ms) { return {Kind::RunAgainLater, ms}; }
  static CommandResult endSession() { return {Kind::EndSession, 0}; }
};

// A command's work. `params` is lent for the call (normally a table, but any value or null);
// replies, if any, are queued with QueueMessageToHost and the request's id.
using HostCommandHandler = CommandResult (*)(std::uint32_t requestId, const ZnLuaTE* params);

struct HostCommand {
  const char* name;
  HostCommandHandler handler;
};

// The command table in the order names are compared; a name matches only as a whole and
// case-sensitively.
extern const HostCommand kHostCommands[];
extern const std::size_t kHostCommandCount;

// Runs the command named by `name` (a string value) with `params`; a name that is not a
// string, or that no command has, takes the lock and does nothing. Neither value is kept or
// freed.
CommandResult DispatchHostMessage(std::uint32_t requestId, const ZnLuaTE* name,
                                  const ZnLuaTE* params) LB_EXCLUDES(g_sdkLock);
