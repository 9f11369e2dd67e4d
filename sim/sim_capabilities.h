// What each simulated object lists and answers: capability lists, typed reads and writes,
// enumerations. Threads: the simulator's mutex is held (sim_state.h).
#pragma once

#include <string>

#include "sim/sim_state.h"

namespace lbsim {

// Whether an object of this kind lists capability `capId`.
bool Lists(Kind kind, ULONG capId);

// The capability list of an object of this kind, into the caller's array of `room` records;
// kNkMAIDResult_BufferSize when it does not fit.
NKERROR CapInfo(Kind kind, ULONG room, NKPARAM data);
ULONG CapCount(Kind kind);

NKERROR CapGet(Node& node, ULONG capId, ULONG dataType, NKPARAM data);
NKERROR CapGetArray(Node& node, ULONG capId, NKPARAM data);
NKERROR CapSet(Node& node, ULONG capId, ULONG dataType, NKPARAM data);

// The camera's own dial or menu sets `setting` ("aperture", "shutter", "iso" or "wb") to its
// entry `index`, and the camera announces the change as it does for a host's change. False for
// an unknown setting or an index past its entries.
bool TurnDial(Camera& camera, ULONG cameraId, const std::string& setting, ULONG index);

// The name a capture item's data object answers ("DSC_0001.NEF").
std::string ItemName(const Item& item);

}  // namespace lbsim
