#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/wake_signal.h"

namespace platform {

struct CWakeSignal::State {
  std::mutex mutex;
  std::condition_variable raised;
  bool pending = false;
};

CWakeSignal::CWakeSignal() : m_state(std::make_unique<State>()) {}
CWakeSignal::~CWakeSignal() = default;

void CWakeSignal::raise() {
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->pending = true;
  }
  m_state->raised.notify_one();
}

void CWakeSignal::wait(unsigned ms) {
  std::unique_lock<std::mutex> lock(m_state->mutex);
  m_state->raised.wait_for(lock, std::chrono::milliseconds(ms),
                           [this] { return m_state->pending; });
  m_state->pending = false;
}

}  // namespace platform
