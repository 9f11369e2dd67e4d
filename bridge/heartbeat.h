// The camera side's heartbeat: the idle work the main thread's 100 ms timer runs.
//
// Threads: main thread only (the timer's window procedure). Takes g_sdkLock itself, so the
// caller must not hold it; a tick that finds the lock already held by its own thread (an SDK
// call pumped the window's messages inside an earlier tick or command) is skipped instead.
#pragma once

// One tick: the module manager's idle pump, unless a shutdown has been handled, no manager
// exists, or this thread already holds the SDK lock. True when the pump ran.
bool RunHeartbeatTick();
