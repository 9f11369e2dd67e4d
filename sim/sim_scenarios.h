// Scenarios shared by the tests and benchmarks that run on the simulated cameras.
#pragma once

namespace lbsim {

// Two cameras on every module, ids 1 and 2, of different types and exposure modes.
constexpr const char kTwoCameraScenario[] =
    "camera 1 type=43 exposure=3 name=D850\n"
    "camera 2 type=44 exposure=1 iso-auto=1 name=Z 7\n";

}  // namespace lbsim
