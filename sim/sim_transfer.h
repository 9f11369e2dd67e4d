// Transfers: a data object's Acquire hands its file over in blocks, inside the caller's polls.
// Threads: the simulator's mutex is held (sim_state.h).
#pragma once

#include "sim/sim_state.h"

namespace lbsim {

// CapStart of kNkMAIDCapability_Acquire on the data object `record`: queues the transfer.
NKERROR StartTransfer(MaidObject* record, const Node& node, sdk::CompletionProc proc, NKREF ref);

}  // namespace lbsim
