#include "sim/sim_plugging.h"

#include <cstdio>
#include <cstdlib>

namespace lbsim {

namespace {

Camera MakeCamera(const CameraSetup& setup) {
  Camera camera;
  camera.setup = setup;
  camera.plugged = setup.plugged;
  camera.exposure = setup.exposureMode;
  camera.isoAuto = setup.isoAuto;
  return camera;
}

}  // namespace

void LoadScenario() {
  Simulator& sim = Sim();
  Scenario scenario = DefaultScenario(ModuleType());
  if (const char* path = std::getenv("LBSIM_SCENARIO")) {
    if (*path) {
      std::string text;
      if (std::FILE* file = std::fopen(path, "rb")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
        std::fclose(file);
        std::string error;
        if (!ParseScenario(text, scenario, error)) {
          std::fprintf(stderr, "lbsim: %s\n", error.c_str());
          scenario = DefaultScenario(ModuleType());
        }
      } else {
        std::fprintf(stderr, "lbsim: cannot read scenario \"%s\"\n", path);
      }
    }
  }
  sim.elsewhere.clear();
  for (const CameraSetup& setup : scenario.cameras) sim.elsewhere.insert(setup.id);
  scenario = ScenarioForModule(scenario, ModuleType());
  for (const CameraSetup& setup : scenario.cameras) sim.elsewhere.erase(setup.id);
  sim.scenario = scenario;
  sim.cameras.clear();
  for (const CameraSetup& setup : scenario.cameras) sim.cameras[setup.id] = MakeCamera(setup);
  sim.timedEvents = scenario.events;
  sim.faults = Faults{};
  sim.asyncCalls = 0;
  sim.loaded = true;
}

void Plug(ULONG id, bool plugged) {
  Simulator& sim = Sim();
  Camera* camera = FindCamera(id);
  if (!camera) {
    if (!plugged || sim.elsewhere.count(id)) return;
    CameraSetup setup;
    setup.id = id;
    setup.name = "D850 #" + std::to_string(id);
    setup.plugged = false;  // it arrives below, with its event
    camera = &(sim.cameras[id] = MakeCamera(setup));
  }
  if (camera->plugged == plugged) return;
  if (plugged) {
    // A camera plugged in again starts afresh, as a real one does after a power cycle.
    const CameraSetup setup = camera->setup;
    *camera = MakeCamera(setup);
    camera->plugged = true;
  } else {
    camera->plugged = false;
  }
  QueueEvent(Kind::Module, 0, plugged ? kNkMAIDEvent_AddChild : kNkMAIDEvent_RemoveChild, id);
}

void RunTimedEvents() {
  Simulator& sim = Sim();
  const unsigned elapsed = NowMs() - sim.openedAtMs;
  for (auto it = sim.timedEvents.begin(); it != sim.timedEvents.end();) {
    if (it->atMs <= elapsed) {
      const TimedEvent event = *it;
      it = sim.timedEvents.erase(it);
      Plug(event.cameraId, event.plug);
    } else {
      ++it;
    }
  }
}

}  // namespace lbsim
