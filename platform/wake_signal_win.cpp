#include <windows.h>

#include "platform/wake_signal.h"

namespace platform {

struct CWakeSignal::State {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset
};

CWakeSignal::CWakeSignal() : m_state(std::make_unique<State>()) {}

CWakeSignal::~CWakeSignal() {
  if (m_state->event) CloseHandle(m_state->event);
}

void CWakeSignal::raise() { SetEvent(m_state->event); }

void CWakeSignal::wait(unsigned ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD spent = GetTickCount() - start;
    const DWORD left = spent >= ms ? 0 : ms - spent;
    const DWORD woken =
        MsgWaitForMultipleObjectsEx(1, &m_state->event, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woken != WAIT_OBJECT_0 + 1) return;  // raised, timed out or failed
    MSG msg = {};
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

}  // namespace platform
