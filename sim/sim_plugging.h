// The cameras a module has: loaded from the scenario, plugged and unplugged by control lines
// and by the scenario's timed events. Threads: the simulator's mutex is held (sim_state.h).
#pragma once

#include "sim/sim_state.h"

namespace lbsim {

// Reads the scenario named by LBSIM_SCENARIO (or the built-in one) and starts afresh with its
// cameras, no faults armed.
void LoadScenario();

// Plugs camera `id` in or out, queueing the module's AddChild or RemoveChild. A camera not
// known yet is made with the default setup.
void Plug(ULONG id, bool plugged);

// Runs the scenario's timed events that are due.
void RunTimedEvents();

}  // namespace lbsim
