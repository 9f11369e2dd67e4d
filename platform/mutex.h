// A mutex the thread-safety analysis knows: the data it guards is declared LB_GUARDED_BY it,
// and the native build (-Wthread-safety) refuses any access made without it.
#pragma once

#include <mutex>

#include "platform/thread_annotations.h"

class LB_CAPABILITY("mutex") CMutex {
 public:
  void lock() LB_ACQUIRE() { m_mutex.lock(); }
  void unlock() LB_RELEASE() { m_mutex.unlock(); }

 private:
  std::mutex m_mutex;
};

// Holds an annotated lock (CMutex, or another with lock() and unlock()) for its scope.
template <typename Lock>
class LB_SCOPED_CAPABILITY CScopedLock {
 public:
  explicit CScopedLock(Lock& lock) LB_ACQUIRE(lock) : m_lock(lock) { m_lock.lock(); }
  ~CScopedLock() LB_RELEASE() { m_lock.unlock(); }
  CScopedLock(const CScopedLock&) = delete;
  CScopedLock& operator=(const CScopedLock&) = delete;

 private:
  Lock& m_lock;
};

using CMutexLock = CScopedLock<CMutex>;
