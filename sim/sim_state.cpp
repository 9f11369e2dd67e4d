#include "sim/sim_state.h"

#include <chrono>

namespace lbsim {

Simulator& Sim() {
  static Simulator* simulator = new Simulator();  // never destroyed: callers may outlive us
  return *simulator;
}

unsigned NowMs() {
  if (Sim().manualClockMs) return *Sim().manualClockMs;
  using namespace std::chrono;
  return static_cast<unsigned>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

Camera* FindCamera(ULONG id) {
  auto it = Sim().cameras.find(id);
  return it == Sim().cameras.end() ? nullptr : &it->second;
}

MaidObject* OpenRecord(Kind kind, ULONG cameraId) {
  for (auto& entry : Sim().open) {
    if (entry.second.kind == kind && (kind == Kind::Module || entry.second.cameraId == cameraId))
      return entry.first;
  }
  return nullptr;
}

void DeliverEvent(MaidObject* record, ULONG event, NKPARAM data) {
  auto it = Sim().open.find(record);
  if (it == Sim().open.end() || !it->second.eventProc.pProc) return;
  const sdk::MaidCallback callback = it->second.eventProc;
  reinterpret_cast<sdk::EventProc>(callback.pProc)(callback.refProc, event, data);
}

void QueueEvent(Kind kind, ULONG cameraId, ULONG event, NKPARAM data) {
  Sim().jobs.push_back([kind, cameraId, event, data] {
    if (MaidObject* record = OpenRecord(kind, cameraId)) DeliverEvent(record, event, data);
  });
}

void QueueSettingChange(ULONG cameraId, ULONG capId) {
  Camera* camera = FindCamera(cameraId);
  if (camera && camera->has(Habit::EventsInCalls)) {
    camera->eventsForNextCall.push_back(capId);
    return;
  }
  QueueEvent(Kind::Camera, cameraId, kNkMAIDEvent_CapChangeValueOnly, capId);
}

void DeliverEventsForNextCall(ULONG cameraId) {
  // One at a time: the caller may call us (and change more settings) from inside each.
  for (;;) {
    Camera* camera = FindCamera(cameraId);
    if (!camera || camera->eventsForNextCall.empty()) return;
    const ULONG capId = camera->eventsForNextCall.front();
    camera->eventsForNextCall.pop_front();
    if (MaidObject* record = OpenRecord(Kind::Camera, cameraId))
      DeliverEvent(record, kNkMAIDEvent_CapChangeValueOnly, capId);
  }
}

}  // namespace lbsim
