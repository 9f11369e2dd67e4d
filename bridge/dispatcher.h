// The command dispatcher: recognises a host request by its name, says where it runs, and runs
// its handler with the SDK lock held for the whole command.
//
// Threads: the camera worker's, on its own thread or a module's lane; g_sdkLock is taken for
// each part of a command.
#pragma once

#include <cstddef>
#include <cstdint>

#include "camera/sdk_lock.h"

class CNikonModule;
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

// Where a command runs. A module's calls are made by its lane (module_lane.h); a command that
// calls none runs on the camera thread itself, so that a module busy inside a long call holds
// up only the commands that need it.
enum class CommandPlace {
  CameraThread,     // reads what the camera layer knows and calls no module
  EndsSession,      // on the camera thread at once, waiting for nothing: the session's drain
                    // lets every command before it finish (up to a bound, so that a module
                    // stuck inside a call cannot keep the process from ending)
  AddressedModule,  // the module of the camera it is about (AddressedCamera): the current
                    // camera's, or the camera thread when there is none
  DeviceModule,     // the module of the request's "device_id"; `prelude` first on every other
                    // module's lane
  EveryModule,      // `perModule` on the lane of each module not busy, then `handler` answers
  RigModules,       // the rig's cameras of each module on that module's lane, at once; the
                    // last part answers
};

struct HostCommand {
  const char* name;
  HostCommandHandler handler;
  CommandPlace place;
  // It replies. Replies go out in the order of the requests: one that answers is not run
  // where it could answer before an earlier request that answers still waits elsewhere.
  bool answers = false;
  // The commands after it wait until it has run: it changes which camera is connected or
  // whether its live view is on, which they read.
  bool ordersLater = false;
  // DeviceModule, on each other module, SDK lock held.
  void (*prelude)(CNikonModule& module, std::uint32_t requestId, const ZnLuaTE* params) = nullptr;
  void (*perModule)(CNikonModule& module) = nullptr;  // EveryModule, SDK lock held
};

// The command table in the order names are compared; a name matches only as a whole and
// case-sensitively.
extern const HostCommand kHostCommands[];
extern const std::size_t kHostCommandCount;

// The command named by `name` (a string value); null when it is not a string or no command has
// that name.
const HostCommand* FindHostCommand(const ZnLuaTE* name);

// Runs one part of a command with the SDK lock held.
CommandResult RunCommandPart(HostCommandHandler part, std::uint32_t requestId,
                             const ZnLuaTE* params) LB_EXCLUDES(g_sdkLock);
