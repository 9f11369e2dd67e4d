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

// Holds a CMutex for its scope.
class LB_SCOPED_CAPABILITY CMutexLock {
 public:
  explicit CMutexLock(CMutex& mutex) LB_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
  ~CMutexLock() LB_RELEASE() { m_mutex.unlock(); }
  CMutexLock(const CMutexLock&) = delete;
  CMutexLock& operator=(const CMutexLock&) = delete;

 private:
  CMutex& m_mutex;
};
