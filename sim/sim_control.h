// Control lines: how a test or the demo changes the simulated world while the process runs,
// through LbSimControl(line) in the same process or lines appended to the file named by
// LBSIM_CONTROL. Threads: the simulator's mutex is held (sim_state.h).
#pragma once

#include <string>

namespace lbsim {

// Applies one control line (the lines are listed in the README); 0 when understood, -1
// otherwise. An empty line is understood and does nothing.
int ApplyControlLine(const std::string& line);

// Applies the complete lines appended to the LBSIM_CONTROL file since the last look.
void ReadControlFile();

}  // namespace lbsim
