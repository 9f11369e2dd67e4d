// Captures and transfers: a shot makes the camera's new items and announces them; a data
// object's Acquire hands its file over in blocks. Both run as jobs inside the caller's polls.
// Threads: the simulator's mutex is held (sim_state.h).
#pragma once

#include "sim/sim_state.h"

namespace lbsim {

// CapStart of kNkMAIDCapability_Capture on a camera or kNkMAIDCapability_Acquire on a data
// object.
NKERROR CapStart(MaidObject* record, Node& node, ULONG capId, sdk::CompletionProc proc, NKREF ref);

}  // namespace lbsim
