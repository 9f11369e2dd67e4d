// The SDK lock. Guards the whole camera layer (module manager, modules, cameras, downloads),
// which has no lock of its own.
//
// Threads: taken by the camera thread (the worker) and by each module's lane for each command,
// heartbeat and slice of the long operations, never nested; the pipe thread never takes it.
// (Tests may drive the camera layer from their own thread.) It is let go for the length of
// every call into a module (CallModule), so that a module that takes its time inside a call (a
// release exposing for seconds) holds up only its own lane; the SDK's callbacks take it again.
// The layer's entry points say LB_REQUIRES(g_sdkLock); code the SDK calls back inside one of
// our calls states that its caller holds the lock with g_sdkLock.assertHeld().
#pragma once

#include <mutex>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

class LB_CAPABILITY("mutex") CSdkLock {
 public:
  void lock() LB_ACQUIRE() { m_mutex.lock(); }
  void unlock() LB_RELEASE() { m_mutex.unlock(); }
  // Checks nothing at run time; tells the analysis that the lock is held here.
  void assertHeld() const LB_ASSERT_CAPABILITY(this) {}

 private:
  std::mutex m_mutex;
};

inline CSdkLock g_sdkLock;

// Holds g_sdkLock (or another CSdkLock) for its scope.
using CSdkLockGuard = CScopedLock<CSdkLock>;

// Makes one call into a module with g_sdkLock let go for its length. Whatever the caller holds
// on to across the call must belong to the module's own lane, which no other thread changes.
template <typename Call>
auto CallModule(Call call) LB_REQUIRES(g_sdkLock) {
  // Nothing is thrown through a module (a C library), so the lock comes back on every path.
  g_sdkLock.unlock();
  auto result = call();
  g_sdkLock.lock();
  return result;
}
