// A signal one thread waits on and others raise: the wake-up of a thread that sleeps between
// pieces of work. On Windows the wait also serves the messages posted to the waiting thread, as
// a thread that calls into a camera module must (a module may post itself messages).
#pragma once

#include <memory>

namespace platform {

class CWakeSignal {
 public:
  CWakeSignal();
  ~CWakeSignal();
  CWakeSignal(const CWakeSignal&) = delete;
  CWakeSignal& operator=(const CWakeSignal&) = delete;

  // Any thread: wakes the waiter, or makes its next wait return at once.
  void raise();
  // The waiting thread: returns once raised (clearing it) or after `ms`, dispatching the
  // thread's messages meanwhile.
  void wait(unsigned ms);

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

}  // namespace platform
