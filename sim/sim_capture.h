// Captures: a shot makes the camera's new items and announces them, whether the caller
// started it (CapStart of kNkMAIDCapability_Capture) or the camera's own release button did.
// Threads: the simulator's mutex is held (sim_state.h).
#pragma once

#include "sim/sim_state.h"

namespace lbsim {

// CapStart of kNkMAIDCapability_Capture on a camera or kNkMAIDCapability_Acquire on a data
// object.
NKERROR CapStart(MaidObject* record, Node& node, ULONG capId, sdk::CompletionProc proc, NKREF ref);

// A shot by the camera's own button: its items are announced at the next Async, with no
// capture of the caller's to complete. False when the camera is not plugged in.
bool ShootByButton(ULONG cameraId);

// The caller closed item `itemId`: under nested-items a partner still held for it (its
// transfer gave no block yet) is announced at the next Async.
void LetHeldPartnerGo(Camera& camera, ULONG cameraId, ULONG itemId);

}  // namespace lbsim
