// The SDK lock. Guards every call into the camera SDK and, since SDK callbacks arrive inside
// those calls, the whole camera layer (module manager, modules, cameras, downloads), which has
// no lock of its own.
//
// Threads: taken by the camera thread (the process's main thread, its camera worker) for each
// host command, each slice of the long operations and each heartbeat, never nested; the pipe
// thread never takes it. (Tests may drive the camera layer from their own thread.) The layer's
// entry points say LB_REQUIRES(g_sdkLock); code the SDK calls back inside one of our calls
// states that its caller holds the lock with g_sdkLock.assertHeld().
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

class LB_CAPABILITY("mutex") CSdkLock {
 public:
  void lock() LB_ACQUIRE() {
    m_mutex.lock();
    m_owner.store(std::this_thread::get_id());
  }
  void unlock() LB_RELEASE() {
    m_owner.store(std::thread::id());
    m_mutex.unlock();
  }
  // Checks nothing at run time; tells the analysis that the lock is held here.
  void assertHeld() const LB_ASSERT_CAPABILITY(this) {}
  // Whether the calling thread is the one holding the lock. Only the owner itself can see
  // its own id here, so the answer is exact for the calling thread whatever others do.
  bool heldByThisThread() const { return m_owner.load() == std::this_thread::get_id(); }

 private:
  std::mutex m_mutex;
  std::atomic<std::thread::id> m_owner{};  // the holder's id; empty while free
};

inline CSdkLock g_sdkLock;

// Holds g_sdkLock (or another CSdkLock) for its scope.
using CSdkLockGuard = CScopedLock<CSdkLock>;
