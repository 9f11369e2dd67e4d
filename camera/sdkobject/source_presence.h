// Whether a camera is still there. The module's rescans ask the camera itself (SaysItIsGone);
// a camera's steps ask its module's list too (SourceStillPresent) while a release or a
// transfer of it is under way, as no rescan comes once "shutdown" has begun.
//
// Threads: the camera thread, with the SDK lock held.
#pragma once

#include "camera/sdk_lock.h"

class CNikonObject;

// How often a camera's steps ask whether it is still there while it has a release or a
// transfer under way.
constexpr unsigned kPresenceCheckMs = 250;

// Whether the camera (the source object) that `object` is or belongs to is still among its
// module's children and not known to be dead. A module, or an object under no module, is
// always there. An enumeration or IsAlive read that fails for another reason than a missing
// camera counts as present: a busy camera is not a gone one.
bool SourceStillPresent(CNikonObject& object) LB_REQUIRES(g_sdkLock);

// Whether the camera `source` says itself that it is gone: IsAlive reads false, or the read
// fails with "camera not found". A camera without IsAlive, or one too busy to answer, is not.
bool SaysItIsGone(CNikonObject& source) LB_REQUIRES(g_sdkLock);
