// The camera thread's work: the host's requests, handed over by the pipe thread as they come,
// and between them the slices of the cameras' long operations (a release waiting for its
// completion, the downloads). The pipe thread never runs camera work, so the host's link
// never waits for a camera; a request is answered as soon as its own work is done.
//
// A command may ask to be run again a little later (DispatchAgainLater): a live-view start
// that waits for the half-second settings spacing, a "shutdown" that waits for the transfers
// under way. The commands behind it wait in order; the long operations go on meanwhile.
//
// Threads: PostHostRequest on the pipe thread; RunCameraWork and CancelCameraWork on the camera
// thread (the process's main thread, which also runs the heartbeat). RunCameraWork takes the
// SDK lock for each command and each slice; it must not be called with the lock held.
#pragma once

#include <cstdint>
#include <limits>

#include "camera/sdk_lock.h"

class ZnLuaTE;

// How long the camera thread may wait before RunCameraWork is due again: nothing to do until a
// request comes (or the heartbeat ticks).
constexpr unsigned kCameraIdle = std::numeric_limits<unsigned>::max();
// The longest a long operation's slice runs before the host's requests are looked at again.
constexpr unsigned kCameraSliceMs = 20;
// The pause between polls of a camera that has nothing new to deliver.
constexpr unsigned kCameraPollMs = 10;

// Pipe thread: queues a copy of the request for the camera thread and wakes it. Always 0: the
// session's end comes through the session-end hook once "shutdown" has run.
int PostHostRequest(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* params);

// Camera thread: runs the waiting commands in order (up to one that asks to wait), then one
// slice of the cameras' long operations. Returns how long the caller may wait for a request
// before calling again: 0, a few milliseconds, or kCameraIdle.
unsigned RunCameraWork() LB_EXCLUDES(g_sdkLock);

// Camera thread, right before it sleeps: when no command is queued or waits, leaves the answer
// to "isLiveViewOn" (LeaveStandingReply) for the pipe thread to give while this thread sleeps.
// True when an answer was left.
bool OfferStandingReplies() LB_EXCLUDES(g_sdkLock);

// Camera thread: drops the commands not yet run (the host is gone).
void CancelCameraWork();

// Camera thread: a new host session after "shutdown" ended the last one (tests; the process
// has one session).
void RestartCameraWork();

// Installed by the shell before the pipe thread starts: wakes the camera thread when a
// request is queued. Null: nobody to wake (tests call RunCameraWork themselves).
using CameraWakeHook = void (*)();
void SetCameraWakeHook(CameraWakeHook hook);

// Installed by the shell: "shutdown" (request `requestId`) has run; the pipe thread answers
// "shutdownComplete" once everything queued before it is sent, and ends the session.
using SessionEndHook = void (*)(std::uint32_t requestId);
void SetSessionEndHook(SessionEndHook hook);
