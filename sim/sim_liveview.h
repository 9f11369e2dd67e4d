// Live-view frames: a rendered chart behind the header the camera type puts before it, fetched
// by the caller in two steps (CapGet for the size, CapGetArray for the bytes). Threads: the
// simulator's mutex is held (sim_state.h).
#pragma once

#include "sim/sim_state.h"

namespace lbsim {

// CapGet of kNkMAIDCapability_GetLiveViewImage: makes the next frame and describes it.
NKERROR GetLiveViewImage(Camera& camera, ULONG dataType, NKPARAM data);

// CapGetArray of kNkMAIDCapability_GetLiveViewImage: copies the frame described last into the
// caller's buffer, which must have exactly its size.
NKERROR CopyLiveViewImage(Camera& camera, NKPARAM data);

}  // namespace lbsim
