// The wait after a started command (a release, a transfer): polls the SDK until the command
// completes, and gives up as soon as waiting can no longer help.
//
// The wait ends with the first of:
// - the completion (the started command's CPendingCompletion counts it);
// - an Async answer that is neither 0 (done) nor 1 (still working), or the polled object
//   closing;
// - the camera the object belongs to leaving its module (no longer among the module's
//   children, or IsAlive reading false), checked every kPresenceCheckMs;
// - `inactivityMs` without a data block and without any completion: a slow link that still
//   delivers keeps the wait going however long the file takes.
//
// Threads: with the SDK lock held, on the thread that started the command. The SDK delivers
// events, blocks and completions inside the polls, on this thread, under the same lock.
#pragma once

#include "camera/sdk_lock.h"

class CNikonObject;
class CPendingCompletion;

// How often a wait asks whether its camera is still there.
constexpr unsigned kPresenceCheckMs = 250;

enum class WaitOutcome {
  Completed,     // the completion came
  AsyncFailed,   // Async answered an error, or the object closed
  CameraGone,    // the camera left its module or is no longer alive
  Inactive,      // nothing arrived for the inactivity bound
};

// Polls Async on `poller` every 10 ms until one of the ends above. Returns which one.
WaitOutcome WaitForCompletion(CNikonObject& poller, const CPendingCompletion& completion,
                              unsigned inactivityMs) LB_REQUIRES(g_sdkLock);

// Whether the camera (the source object) that `object` is or belongs to is still among its
// module's children and not known to be dead. A module, or an object under no module, is
// always there. An enumeration or IsAlive read that fails for another reason than a missing
// camera counts as present: a busy camera is not a gone one.
bool SourceStillPresent(CNikonObject& object) LB_REQUIRES(g_sdkLock);

// Whether the camera `source` says itself that it is gone: IsAlive reads false, or the read
// fails with "camera not found". A camera without IsAlive, or one too busy to answer, is not.
bool SaysItIsGone(CNikonObject& source) LB_REQUIRES(g_sdkLock);
