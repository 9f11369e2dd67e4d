// Live-view frames: a rendered chart behind the header the camera type puts before it, fetched
// by the caller in two steps (CapGet for the size, CapGetArray for the bytes). Threads: the
// simulator's mutex is held (sim_state.h).
#pragma once

#include "sim/sim_state.h"

namespace lbsim {

// The LiveViewStatus value that switches live view on at this module's cameras: 3 for the
// newer modules (Type0023 to Type0025, Type0028, Type0029), 1 for the others. Each module
// refuses the other generation's value.
ULONG LiveViewOnValue();

// CapGet of kNkMAIDCapability_GetLiveViewImage: makes the next frame and describes it.
NKERROR GetLiveViewImage(Camera& camera, ULONG dataType, NKPARAM data);

// CapGetArray of kNkMAIDCapability_GetLiveViewImage: copies the frame described last into the
// caller's buffer, which must have exactly its size.
NKERROR CopyLiveViewImage(Camera& camera, NKPARAM data);

}  // namespace lbsim
