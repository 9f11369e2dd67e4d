// The simulated camera module: a MAIDEntryPoint that behaves, as far as the camera layer can
// tell, like a real module with cameras plugged in.
//
// Object tree: module -> cameras (ids from the scenario) -> capture items (ids 1, 2, ... per
// camera) -> data object 1 of each item. Every object answers its capability list and typed
// reads and writes; cameras capture, stream live view, drive focus and raise events.
//
// Like a real module, the simulator never calls back on its own: events, data blocks and
// completions wait in a queue and are delivered inside the caller's next kNkMAIDCommand_Async,
// on the caller's thread. A job may call back into the caller, which may call us again from
// inside the callback (a download nested in a capture), so the entry point is reentrant.
//
// Control, for tests and the demo: LbSimControl(line) in the same process, or lines appended
// to the file named by LBSIM_CONTROL, read at every Async. The lines are listed at
// ApplyControlLine. LBSIM_FAULT_IN_MODULE_OPEN=1 makes the module's own open fault.
//
// Threads: every call is serialised by one recursive mutex; callbacks run with it held, on the
// calling thread.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "camera/maid/maid.h"
#include "sim/sim_content.h"
#include "sim/sim_picture.h"
#include "sim/sim_scenario.h"

#ifdef _WIN32
#define LBSIM_EXPORT extern "C" __declspec(dllexport)
#else
#define LBSIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#ifndef LBSIM_MODULE_TYPE
#define LBSIM_MODULE_TYPE "Type0001"
#endif

namespace lbsim {
namespace {

using maid::MaidObject;
using maid::NKERROR;
using maid::NKPARAM;
using maid::NKREF;
using maid::ULONG;

constexpr ULONG kBlockBytes = 1024 * 1024;        // one data block of a transfer
constexpr ULONG kBlocksPerAsync = 64;             // a large transfer spreads over several polls
constexpr double kSharpFocus = 5000.0;            // focus position of a sharp picture
constexpr int kLiveViewWidth = 640;
constexpr int kLiveViewHeight = 424;
constexpr int kPhotoWidth = 1600;
constexpr int kPhotoHeight = 1064;

enum class Kind { Module, Camera, Item, Data };

struct Capability {
  ULONG id;
  ULONG type;
  ULONG operations;
};

// Enumerations, with the element kinds the cameras really use for them.
const std::vector<std::string> kShutterSpeeds = {"30\"", "4\"", "1\"", "1/4", "1/15", "1/60",
                                                 "1/125", "1/250", "1/500", "1/1000", "1/4000"};
const std::vector<std::string> kApertures = {"f/1.8", "f/2.8", "f/4", "f/5.6",
                                             "f/8", "f/11", "f/16", "f/22"};
const std::vector<std::string> kWhiteBalances = {"Auto", "Daylight", "Cloudy", "Shade",
                                                 "Incandescent", "Fluorescent", "Flash"};
const std::vector<std::string> kIsoSpeeds = {"64", "100", "200", "400", "800",
                                             "1600", "3200", "6400", "12800"};
const std::vector<std::string> kAutoIsoLimits = {"ISO 800", "ISO 1600", "ISO 3200", "ISO 6400"};
const std::vector<ULONG> kExposureModes = {0, 1, 2, 3};

struct Item {
  bool raw = false;
  bool sidecar = false;             // one file of a RAW+JPEG pair
  std::uint32_t captureNumber = 0;
  std::uint64_t seed = 0;
  // The JPEG's bytes, shared with a transfer in progress; a RAW file is made block by block.
  std::shared_ptr<const std::vector<unsigned char>> jpeg;
  ULONG rawBytes = 0;
  ULONG bytes() const { return raw ? rawBytes : static_cast<ULONG>(jpeg->size()); }
};

struct Camera {
  CameraSetup setup;
  bool plugged = true;
  ULONG exposure = 3, shutter = 7, aperture = 2, whiteBalance = 0, iso = 1, autoIso = 2;
  bool isoAuto = false;
  ULONG focusMode = 1;     // 1 auto-focus, 0 manual
  ULONG saveMedia = 0;     // 0 card, 1 computer
  ULONG liveView = 0;
  ULONG contrastAf = 1;    // 1 stopped
  double focus = kSharpFocus - 4000.0;
  double focusStep = 500.0;
  std::uint32_t captures = 0;
  std::uint32_t frames = 0;
  ULONG nextItemId = 1;
  std::map<ULONG, Item> items;
  std::vector<unsigned char> frame;  // the frame between CapGet and CapGetArray
};

struct Node {
  Kind kind = Kind::Module;
  ULONG cameraId = 0;
  ULONG itemId = 0;
  maid::MaidCallback eventProc{};
  maid::MaidCallback dataProc{};
};

// Faults armed by the control line. The open and alive faults hold until "clear"; the others
// fire once.
struct Faults {
  bool moduleOpenRefused = false;
  bool itemOpenRefused = false;
  std::set<ULONG> cameraOpenRefused;
  std::set<ULONG> notAlive;
  int bufferSizeAnswers = 0;
  bool transferLost = false;
  bool captureHangs = false;
  bool liveViewShort = false;
  bool blockWraps = false;
  bool storedBytesUnreadable = false;
  std::optional<ULONG> storedBytesClaim;  // what the next StoredBytes read answers instead
};

struct Simulator {
  std::recursive_mutex mutex;
  Scenario scenario;
  std::map<ULONG, Camera> cameras;
  std::map<MaidObject*, Node> open;
  std::deque<std::function<void()>> jobs;
  Faults faults;
  std::vector<TimedEvent> timedEvents;
  unsigned openedAtMs = 0;
  long controlOffset = 0;
  bool loaded = false;
  // Captures whose completion a fault holds back; completed (aborted) when the module closes.
  struct HeldCompletion {
    MaidObject* record;
    maid::CompletionProc proc;
    NKREF ref;
  };
  std::vector<HeldCompletion> heldCaptures;
};

Simulator& Sim() {
  static Simulator* simulator = new Simulator();  // never destroyed: callers may outlive us
  return *simulator;
}

unsigned NowMs() {
  using namespace std::chrono;
  return static_cast<unsigned>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// --- Scenario and cameras. ---

Camera MakeCamera(const CameraSetup& setup) {
  Camera camera;
  camera.setup = setup;
  camera.plugged = setup.plugged;
  camera.exposure = setup.exposureMode;
  camera.isoAuto = setup.isoAuto;
  return camera;
}

void LoadScenario() {
  Simulator& sim = Sim();
  Scenario scenario = DefaultScenario(LBSIM_MODULE_TYPE);
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
          scenario = DefaultScenario(LBSIM_MODULE_TYPE);
        }
      } else {
        std::fprintf(stderr, "lbsim: cannot read scenario \"%s\"\n", path);
      }
    }
  }
  sim.scenario = scenario;
  sim.cameras.clear();
  for (const CameraSetup& setup : scenario.cameras) sim.cameras[setup.id] = MakeCamera(setup);
  sim.timedEvents = scenario.events;
  sim.faults = Faults{};
  sim.loaded = true;
}

ULONG LiveViewHeaderBytes(const Camera& camera) {
  const std::string type = LBSIM_MODULE_TYPE;
  if (type == "Type0001") return camera.setup.type == 43 ? 128 : 64;
  if (type == "Type0003") return 128;
  if (type == "Type0023" || type == "Type0024" || type == "Type0025" || type == "Type0028" ||
      type == "Type0029")
    return 512;
  return 384;
}

Camera* FindCamera(ULONG id) {
  auto it = Sim().cameras.find(id);
  return it == Sim().cameras.end() ? nullptr : &it->second;
}

// The open record of the module, or of camera `cameraId`, or null.
MaidObject* OpenRecord(Kind kind, ULONG cameraId = 0) {
  for (auto& entry : Sim().open) {
    if (entry.second.kind == kind && (kind == Kind::Module || entry.second.cameraId == cameraId))
      return entry.first;
  }
  return nullptr;
}

// Calls the event procedure of the open object `record`, if it has one. The procedure may call
// us again and close objects, so nothing of the open map is held across the call.
void DeliverEvent(MaidObject* record, ULONG event, NKPARAM data) {
  auto it = Sim().open.find(record);
  if (it == Sim().open.end() || !it->second.eventProc.pProc) return;
  const maid::MaidCallback callback = it->second.eventProc;
  reinterpret_cast<maid::EventProc>(callback.pProc)(callback.refProc, event, data);
}

void QueueEvent(Kind kind, ULONG cameraId, ULONG event, NKPARAM data) {
  Sim().jobs.push_back([kind, cameraId, event, data] {
    if (MaidObject* record = OpenRecord(kind, cameraId)) DeliverEvent(record, event, data);
  });
}

void Plug(ULONG id, bool plugged) {
  Simulator& sim = Sim();
  Camera* camera = FindCamera(id);
  if (!camera) {
    if (!plugged) return;
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

// --- Control. ---

// Lines: reset | clear | plug <id> | unplug <id> | format jpeg|raw|raw+jpeg [<id>] |
// fault open-refused module|item|<id> | fault isalive-false <id> | fault buffersize |
// fault transfer-lost | fault capture-hangs | fault liveview-short | fault block-wrap |
// fault storedbytes-unreadable | fault storedbytes <n>. 0 when understood, -1 otherwise.
int ApplyControlLine(const std::string& line) {
  Simulator& sim = Sim();
  std::istringstream words(line);
  std::string verb, what, arg;
  words >> verb >> what >> arg;
  auto number = [](const std::string& text) {
    return static_cast<ULONG>(std::strtoul(text.c_str(), nullptr, 10));
  };
  if (verb.empty()) return 0;
  if (verb == "reset") {
    LoadScenario();
    return 0;
  }
  if (verb == "clear") {
    sim.faults = Faults{};
    return 0;
  }
  if (verb == "plug" || verb == "unplug") {
    if (number(what) == 0) return -1;
    Plug(number(what), verb == "plug");
    return 0;
  }
  if (verb == "format") {
    ImageFormat format;
    if (!ParseImageFormat(what, format)) return -1;
    for (auto& entry : sim.cameras) {
      if (arg.empty() || entry.first == number(arg)) entry.second.setup.format = format;
    }
    return 0;
  }
  if (verb != "fault") return -1;
  Faults& f = sim.faults;
  if (what == "open-refused") {
    if (arg == "module") {
      f.moduleOpenRefused = true;
    } else if (arg == "item") {
      f.itemOpenRefused = true;
    } else if (number(arg) != 0) {
      f.cameraOpenRefused.insert(number(arg));
    } else {
      return -1;
    }
  } else if (what == "isalive-false" && number(arg) != 0) {
    f.notAlive.insert(number(arg));
  } else if (what == "buffersize") {
    f.bufferSizeAnswers = 1;
  } else if (what == "transfer-lost") {
    f.transferLost = true;
  } else if (what == "capture-hangs") {
    f.captureHangs = true;
  } else if (what == "liveview-short") {
    f.liveViewShort = true;
  } else if (what == "block-wrap") {
    f.blockWraps = true;
  } else if (what == "storedbytes-unreadable") {
    f.storedBytesUnreadable = true;
  } else if (what == "storedbytes" && !arg.empty()) {
    f.storedBytesClaim = number(arg);
  } else {
    return -1;
  }
  return 0;
}

// New complete lines of the LBSIM_CONTROL file since the last look.
void ReadControlFile() {
  const char* path = std::getenv("LBSIM_CONTROL");
  if (!path || !*path) return;
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return;
  Simulator& sim = Sim();
  if (std::fseek(file, sim.controlOffset, SEEK_SET) == 0) {
    std::string text;
    char buffer[1024];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (ApplyControlLine(line) != 0) std::fprintf(stderr, "lbsim: bad control line \"%s\"\n", line.c_str());
    }
    sim.controlOffset += static_cast<long>(start);
  }
  std::fclose(file);
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

// --- Capabilities. ---

const std::vector<Capability>& CapabilitiesOf(Kind kind) {
  constexpr ULONG G = kNkMAIDCapOperation_Get, S = kNkMAIDCapOperation_Set,
                  A = kNkMAIDCapOperation_GetArray, St = kNkMAIDCapOperation_Start;
  static const std::vector<Capability> module = {
      {kNkMAIDCapability_EventProc, kNkMAIDCapType_Process, S},
      {kNkMAIDCapability_Children, kNkMAIDCapType_Enum, G | A},
      {kNkMAIDCapability_Name, kNkMAIDCapType_String, G},
  };
  static const std::vector<Capability> camera = {
      {kNkMAIDCapability_EventProc, kNkMAIDCapType_Process, S},
      {kNkMAIDCapability_DataProc, kNkMAIDCapType_Process, S},
      {kNkMAIDCapability_IsAlive, kNkMAIDCapType_Boolean, G},
      {kNkMAIDCapability_Children, kNkMAIDCapType_Enum, G | A},
      {kNkMAIDCapability_Name, kNkMAIDCapType_String, G},
      {kNkMAIDCapability_Capture, kNkMAIDCapType_Process, St},
      {kNkMAIDCapability_Firmware, kNkMAIDCapType_String, G},
      {kNkMAIDCapability_BatteryLevel, kNkMAIDCapType_Integer, G},
      {kNkMAIDCapability_ExposureMode, kNkMAIDCapType_Enum, G | A},
      {kNkMAIDCapability_ShutterSpeed, kNkMAIDCapType_Enum, G | S | A},
      {kNkMAIDCapability_Aperture, kNkMAIDCapType_Enum, G | S | A},
      {kNkMAIDCapability_Sensitivity, kNkMAIDCapType_Enum, G | S | A},
      {kNkMAIDCapability_WBMode, kNkMAIDCapType_Enum, G | S | A},
      {kNkMAIDCapability_FocusMode, kNkMAIDCapType_Unsigned, G | S},
      {kNkMAIDCapability_IsoControl, kNkMAIDCapType_Boolean, G | S},
      {kNkMAIDCapability_CameraType, kNkMAIDCapType_Unsigned, G},
      {kNkMAIDCapability_LiveViewStatus, kNkMAIDCapType_Unsigned, G | S},
      {kNkMAIDCapability_ContrastAF, kNkMAIDCapType_Unsigned, G | S},
      {kNkMAIDCapability_GetLiveViewImage, kNkMAIDCapType_Array, G | A},
      {kNkMAIDCapability_MFDriveStep, kNkMAIDCapType_Range, G | S},
      {kNkMAIDCapability_MFDrive, kNkMAIDCapType_Unsigned, S},
      {kNkMAIDCapability_SaveMedia, kNkMAIDCapType_Unsigned, G | S},
      {kNkMAIDCapability_AutoIsoSensitivity, kNkMAIDCapType_Enum, G | S | A},
  };
  static const std::vector<Capability> item = {
      {kNkMAIDCapability_EventProc, kNkMAIDCapType_Process, S},
      {kNkMAIDCapability_Children, kNkMAIDCapType_Enum, G | A},
      {kNkMAIDCapability_Name, kNkMAIDCapType_String, G},
      {kNkMAIDCapability_DataTypes, kNkMAIDCapType_Unsigned, G},
  };
  static const std::vector<Capability> data = {
      {kNkMAIDCapability_DataProc, kNkMAIDCapType_Process, S},
      {kNkMAIDCapability_Name, kNkMAIDCapType_String, G},
      {kNkMAIDCapability_StoredBytes, kNkMAIDCapType_Unsigned, G},
      {kNkMAIDCapability_Acquire, kNkMAIDCapType_Process, St},
      {kNkMAIDCapability_RawJpegImageStatus, kNkMAIDCapType_Unsigned, G},
  };
  switch (kind) {
    case Kind::Module:
      return module;
    case Kind::Camera:
      return camera;
    case Kind::Item:
      return item;
    default:
      return data;
  }
}

bool Lists(Kind kind, ULONG capId) {
  for (const Capability& cap : CapabilitiesOf(kind))
    if (cap.id == capId) return true;
  return false;
}

// An enumeration's elements as the module hands them out: kind, element size, count and bytes.
struct EnumData {
  ULONG kind = kNkMAIDArrayType_Unsigned;
  std::uint16_t elementSize = 4;
  ULONG count = 0;
  ULONG current = 0;
  std::vector<char> bytes;
};

EnumData UnsignedList(const std::vector<ULONG>& values, ULONG current) {
  EnumData e;
  e.count = static_cast<ULONG>(values.size());
  e.current = current;
  e.bytes.resize(values.size() * 4);
  if (!values.empty()) std::memcpy(e.bytes.data(), values.data(), e.bytes.size());
  return e;
}

EnumData PackedList(const std::vector<std::string>& values, ULONG current) {
  EnumData e;
  e.kind = kNkMAIDArrayType_PackedString;
  e.elementSize = 1;
  e.current = current;
  for (const std::string& v : values) e.bytes.insert(e.bytes.end(), v.c_str(), v.c_str() + v.size() + 1);
  e.count = static_cast<ULONG>(e.bytes.size());
  return e;
}

EnumData FixedList(const std::vector<std::string>& values, ULONG current) {
  EnumData e;
  e.kind = kNkMAIDArrayType_String;
  e.elementSize = 256;
  e.current = current;
  e.count = static_cast<ULONG>(values.size());
  e.bytes.assign(values.size() * 256, 0);
  for (std::size_t i = 0; i < values.size(); ++i)
    std::memcpy(&e.bytes[i * 256], values[i].c_str(), std::min<std::size_t>(values[i].size(), 255));
  return e;
}

// The enumeration `capId` of the object, or false when it is not one.
bool EnumOf(const Node& node, ULONG capId, EnumData& out) {
  Simulator& sim = Sim();
  if (capId == kNkMAIDCapability_Children) {
    std::vector<ULONG> ids;
    if (node.kind == Kind::Module) {
      // A camera that no longer answers as alive is not listed either: it has gone away
      // without the module noticing the unplug.
      for (const auto& entry : sim.cameras)
        if (entry.second.plugged && !sim.faults.notAlive.count(entry.first)) ids.push_back(entry.first);
    } else if (node.kind == Kind::Camera) {
      if (Camera* camera = FindCamera(node.cameraId))
        for (const auto& entry : camera->items) ids.push_back(entry.first);
    } else if (node.kind == Kind::Item) {
      ids.push_back(1);
    }
    out = UnsignedList(ids, 0);
    return true;
  }
  Camera* camera = node.kind == Kind::Camera ? FindCamera(node.cameraId) : nullptr;
  if (!camera) return false;
  switch (capId) {
    case kNkMAIDCapability_ExposureMode:
      out = UnsignedList(kExposureModes, camera->exposure);
      return true;
    case kNkMAIDCapability_ShutterSpeed:
      out = PackedList(kShutterSpeeds, camera->shutter);
      return true;
    case kNkMAIDCapability_Aperture:
      out = FixedList(kApertures, camera->aperture);
      return true;
    case kNkMAIDCapability_Sensitivity:
      out = PackedList(kIsoSpeeds, camera->iso);
      return true;
    case kNkMAIDCapability_WBMode:
      out = FixedList(kWhiteBalances, camera->whiteBalance);
      return true;
    case kNkMAIDCapability_AutoIsoSensitivity:
      out = FixedList(kAutoIsoLimits, camera->autoIso);
      return true;
    default:
      return false;
  }
}

ULONG* EnumIndexOf(Camera& camera, ULONG capId, ULONG& count) {
  switch (capId) {
    case kNkMAIDCapability_ShutterSpeed:
      count = static_cast<ULONG>(kShutterSpeeds.size());
      return &camera.shutter;
    case kNkMAIDCapability_Aperture:
      count = static_cast<ULONG>(kApertures.size());
      return &camera.aperture;
    case kNkMAIDCapability_Sensitivity:
      count = static_cast<ULONG>(kIsoSpeeds.size());
      return &camera.iso;
    case kNkMAIDCapability_WBMode:
      count = static_cast<ULONG>(kWhiteBalances.size());
      return &camera.whiteBalance;
    case kNkMAIDCapability_AutoIsoSensitivity:
      count = static_cast<ULONG>(kAutoIsoLimits.size());
      return &camera.autoIso;
    default:
      return nullptr;
  }
}

void WriteText(NKPARAM data, const std::string& text) {
  char* out = reinterpret_cast<char*>(data);
  std::memset(out, 0, 256);
  std::memcpy(out, text.data(), std::min<std::size_t>(text.size(), 255));
}

std::string ItemName(const Item& item) {
  char name[32];
  std::snprintf(name, sizeof name, "DSC_%04u.%s", static_cast<unsigned>(item.captureNumber % 10000),
                item.raw ? "NEF" : "JPG");
  return name;
}

// --- Capture, transfer and live view. ---

void MakeFrame(Camera& camera) {
  Simulator& sim = Sim();
  const ULONG header = LiveViewHeaderBytes(camera);
  const int blur = static_cast<int>(std::min(16.0, std::fabs(camera.focus - kSharpFocus) / 250.0));
  std::vector<unsigned char> jpeg =
      RenderChartJpeg(kLiveViewWidth, kLiveViewHeight, blur, camera.frames++ * 37u, 75);
  camera.frame.assign(header, 0);
  // The header starts with its own size and the picture size, big-endian, as the cameras do.
  for (int i = 0; i < 4; ++i) camera.frame[i] = static_cast<unsigned char>(header >> (24 - 8 * i));
  StampFrame(jpeg, SteadyClockNanoseconds());
  camera.frame.insert(camera.frame.end(), jpeg.begin(), jpeg.end());
  if (sim.faults.liveViewShort) {
    sim.faults.liveViewShort = false;
    camera.frame.resize(header / 2);
  }
}

// Creates the files of one shot as items and announces each; the downloads they start run
// nested inside the announcement. Then completes the capture.
void RunCapture(ULONG cameraId, MaidObject* record, maid::CompletionProc proc, NKREF ref) {
  Camera* camera = FindCamera(cameraId);
  NKERROR result = kNkMAIDResult_NoError;
  if (!camera || !camera->plugged) {
    result = kNkMAIDResult_CameraNotFound;
  } else if (camera->saveMedia == 0) {
    // Saved to the card only: nothing comes to the computer.
    ++camera->captures;
  } else {
    const std::uint32_t number = ++camera->captures;
    std::vector<bool> files;
    if (camera->setup.format != ImageFormat::Jpeg) files.push_back(true);
    if (camera->setup.format != ImageFormat::Raw) files.push_back(false);
    for (bool raw : files) {
      camera = FindCamera(cameraId);
      if (!camera) break;
      Item item;
      item.raw = raw;
      item.sidecar = camera->setup.format == ImageFormat::RawPlusJpeg;
      item.captureNumber = number;
      item.seed = FileSeed(cameraId, number, raw);
      item.rawBytes = camera->setup.rawBytes;
      if (!raw) {
        item.jpeg = std::make_shared<const std::vector<unsigned char>>(
            RenderChartJpeg(kPhotoWidth, kPhotoHeight, 0, item.seed, 90));
      }
      const ULONG itemId = camera->nextItemId++;
      camera->items[itemId] = std::move(item);
      if (MaidObject* cameraRecord = OpenRecord(Kind::Camera, cameraId))
        DeliverEvent(cameraRecord, kNkMAIDEvent_AddChild, itemId);
    }
  }
  if (proc) proc(record, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture, 0, 0, ref, result);
}

struct Transfer {
  MaidObject* record;
  maid::CompletionProc proc;
  NKREF ref;
  ULONG cameraId;
  ULONG itemId;
  ULONG offset;
  bool lose;
  bool wrap;
};

void Complete(const Transfer& t, NKERROR result) {
  if (t.proc) t.proc(t.record, kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire, 0, 0, t.ref, result);
}

// One poll's share of a transfer; queues the rest at the front, so a download nested in a
// capture finishes before the capture goes on.
void RunTransfer(Transfer t) {
  Simulator& sim = Sim();
  auto node = sim.open.find(t.record);
  Camera* camera = FindCamera(t.cameraId);
  if (node == sim.open.end() || !camera) return Complete(t, kNkMAIDResult_Aborted);
  if (!camera->plugged) return Complete(t, kNkMAIDResult_CameraNotFound);
  auto itemIt = camera->items.find(t.itemId);
  if (itemIt == camera->items.end()) return Complete(t, kNkMAIDResult_Aborted);
  const maid::MaidCallback data = node->second.dataProc;
  if (!data.pProc) return Complete(t, kNkMAIDResult_NoDataProc);
  auto deliver = [&](maid::MaidDataInfo info, const unsigned char* bytes) {
    reinterpret_cast<maid::DataProc>(data.pProc)(data.refProc, &info, const_cast<unsigned char*>(bytes));
  };

  const Item item = itemIt->second;  // a copy: the callbacks may close the item
  const ULONG total = item.bytes();
  const ULONG fileType = item.raw ? kNkMAIDFileDataType_NIF : kNkMAIDFileDataType_JPEG;
  if (t.wrap) {
    // A broken block: its offset plus length passes 4 GiB and wraps to a small number.
    std::vector<unsigned char> junk(0x2000, 0xEE);
    deliver({kNkMAIDDataObjType_File, fileType, total, 0xFFFFF000u, 0x2000}, junk.data());
    t.wrap = false;
  }
  std::vector<unsigned char> block;
  for (ULONG n = 0; n < kBlocksPerAsync && t.offset < total; ++n) {
    const ULONG length = std::min(kBlockBytes, total - t.offset);
    if (item.raw) {
      block.resize(length);
      FillRaw(item.seed, t.offset, block.data(), length);
      deliver({kNkMAIDDataObjType_File, fileType, total, t.offset, length}, block.data());
    } else {
      deliver({kNkMAIDDataObjType_File, fileType, total, t.offset, length}, item.jpeg->data() + t.offset);
    }
    t.offset += length;
    if (t.lose) return Complete(t, kNkMAIDResult_CameraNotFound);
  }
  if (t.offset >= total) return Complete(t, kNkMAIDResult_NoError);
  sim.jobs.push_front([t] { RunTransfer(t); });
}

// --- Commands. ---

NKERROR Open(MaidObject* parent, ULONG id, NKPARAM data) {
  Simulator& sim = Sim();
  auto* record = reinterpret_cast<MaidObject*>(data);
  if (!record) return kNkMAIDResult_UnexpectedDataType;
  Node node;
  if (!parent) {
    if (sim.faults.moduleOpenRefused) return kNkMAIDResult_HardwareError;
    // A module that faults while it starts, as a broken driver install may: the process's
    // crash reporter must already be in place to record it.
    if (const char* fault = std::getenv("LBSIM_FAULT_IN_MODULE_OPEN")) {
      if (std::strcmp(fault, "1") == 0) *static_cast<volatile int*>(nullptr) = 0;
    }
    node.kind = Kind::Module;
    sim.openedAtMs = NowMs();
    sim.controlOffset = 0;
    if (const char* path = std::getenv("LBSIM_CONTROL")) {
      // Lines written before this open are history, not instructions for this session.
      if (std::FILE* file = std::fopen(path, "rb")) {
        std::fseek(file, 0, SEEK_END);
        sim.controlOffset = std::ftell(file);
        std::fclose(file);
      }
    }
  } else {
    auto parentNode = sim.open.find(parent);
    if (parentNode == sim.open.end()) return kNkMAIDResult_ZombieObject;
    const Node& p = parentNode->second;
    if (p.kind == Kind::Module) {
      Camera* camera = FindCamera(id);
      if (!camera || !camera->plugged) return kNkMAIDResult_CameraNotFound;
      if (sim.faults.cameraOpenRefused.count(id)) return kNkMAIDResult_HardwareError;
      if (sim.faults.notAlive.count(id)) return kNkMAIDResult_CameraNotFound;
      node.kind = Kind::Camera;
      node.cameraId = id;
    } else if (p.kind == Kind::Camera) {
      Camera* camera = FindCamera(p.cameraId);
      if (!camera || !camera->items.count(id)) return kNkMAIDResult_ValueOutOfBounds;
      if (sim.faults.itemOpenRefused) return kNkMAIDResult_HardwareError;
      node.kind = Kind::Item;
      node.cameraId = p.cameraId;
      node.itemId = id;
    } else if (p.kind == Kind::Item && id == 1) {
      node.kind = Kind::Data;
      node.cameraId = p.cameraId;
      node.itemId = p.itemId;
    } else {
      return kNkMAIDResult_ValueOutOfBounds;
    }
  }
  record->ulType = static_cast<ULONG>(node.kind) + 1;
  record->ulID = id;
  record->refModule = nullptr;
  sim.open[record] = node;
  return kNkMAIDResult_NoError;
}

NKERROR Close(MaidObject* record, const Node& node) {
  Simulator& sim = Sim();
  const Node closed = node;
  sim.open.erase(record);
  if (closed.kind == Kind::Module) {
    // Nothing started may stay without its completion: queued work runs out (and finds its
    // objects closed) and held captures end as aborted.
    while (!sim.jobs.empty()) {
      std::function<void()> job = std::move(sim.jobs.front());
      sim.jobs.pop_front();
      job();
    }
    std::vector<Simulator::HeldCompletion> held;
    held.swap(sim.heldCaptures);
    for (const auto& h : held) {
      if (h.proc) h.proc(h.record, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture, 0, 0, h.ref,
                         kNkMAIDResult_Aborted);
    }
  }
  // An item the computer has let go of is gone from the camera's list of new items.
  if (closed.kind == Kind::Item) {
    if (Camera* camera = FindCamera(closed.cameraId)) camera->items.erase(closed.itemId);
  }
  return kNkMAIDResult_NoError;
}

NKERROR Async() {
  Simulator& sim = Sim();
  ReadControlFile();
  RunTimedEvents();
  // The jobs queued before this call; jobs they queue (or that nested calls take) wait.
  std::size_t due = sim.jobs.size();
  while (due-- > 0 && !sim.jobs.empty()) {
    std::function<void()> job = std::move(sim.jobs.front());
    sim.jobs.pop_front();
    job();
  }
  return kNkMAIDResult_NoError;
}

NKERROR CapGet(Node& node, ULONG capId, ULONG dataType, NKPARAM data) {
  Simulator& sim = Sim();
  if (!data) return kNkMAIDResult_UnexpectedDataType;
  Camera* camera = FindCamera(node.cameraId);
  EnumData e;
  if (dataType == kNkMAIDDataType_EnumPtr) {
    if (!EnumOf(node, capId, e)) return kNkMAIDResult_UnexpectedDataType;
    auto* out = reinterpret_cast<maid::MaidEnum*>(data);
    out->ulType = e.kind;
    out->ulElements = e.count;
    out->ulValue = e.current;
    out->ulDefault = 0;
    out->wPhysicalBytes = e.elementSize;
    return kNkMAIDResult_NoError;
  }
  auto putUnsigned = [&](ULONG value) {
    if (dataType != kNkMAIDDataType_UnsignedPtr && dataType != kNkMAIDDataType_IntegerPtr)
      return kNkMAIDResult_UnexpectedDataType;
    *reinterpret_cast<ULONG*>(data) = value;
    return kNkMAIDResult_NoError;
  };
  auto putBool = [&](bool value) {
    if (dataType != kNkMAIDDataType_BooleanPtr) return kNkMAIDResult_UnexpectedDataType;
    *reinterpret_cast<unsigned char*>(data) = value ? 1 : 0;
    return kNkMAIDResult_NoError;
  };
  auto putText = [&](const std::string& text) {
    if (dataType != kNkMAIDDataType_StringPtr) return kNkMAIDResult_UnexpectedDataType;
    WriteText(data, text);
    return kNkMAIDResult_NoError;
  };
  if (node.kind == Kind::Module) {
    if (capId == kNkMAIDCapability_Name) return putText(std::string(LBSIM_MODULE_TYPE) + " Module");
    return kNkMAIDResult_NotSupported;
  }
  if (!camera) return kNkMAIDResult_CameraNotFound;
  if (node.kind == Kind::Camera) {
    switch (capId) {
      case kNkMAIDCapability_IsAlive:
        return putBool(camera->plugged && !sim.faults.notAlive.count(node.cameraId));
      case kNkMAIDCapability_Name:
        return putText(camera->setup.name);
      case kNkMAIDCapability_Firmware:
        return putText("1.10");
      case kNkMAIDCapability_BatteryLevel:
        return putUnsigned(87);
      case kNkMAIDCapability_FocusMode:
        return putUnsigned(camera->focusMode);
      case kNkMAIDCapability_IsoControl:
        return putBool(camera->isoAuto);
      case kNkMAIDCapability_CameraType:
        return putUnsigned(camera->setup.type);
      case kNkMAIDCapability_LiveViewStatus:
        return putUnsigned(camera->liveView);
      case kNkMAIDCapability_ContrastAF:
        return putUnsigned(camera->contrastAf);
      case kNkMAIDCapability_SaveMedia:
        return putUnsigned(camera->saveMedia);
      case kNkMAIDCapability_MFDriveStep: {
        if (dataType != kNkMAIDDataType_RangePtr) return kNkMAIDResult_UnexpectedDataType;
        auto* range = reinterpret_cast<maid::MaidRange*>(data);
        *range = maid::MaidRange{};
        range->lfValue = camera->focusStep;
        range->lfDefault = 500.0;
        range->lfLower = 1.0;
        range->lfUpper = 32767.0;
        return kNkMAIDResult_NoError;
      }
      case kNkMAIDCapability_GetLiveViewImage: {
        if (dataType != kNkMAIDDataType_ArrayPtr) return kNkMAIDResult_UnexpectedDataType;
        if (camera->liveView == 0) return kNkMAIDResult_NotLiveView;
        MakeFrame(*camera);
        auto* array = reinterpret_cast<maid::MaidArray*>(data);
        array->ulType = kNkMAIDArrayType_Unsigned;
        array->ulElements = static_cast<ULONG>(camera->frame.size());
        array->ulDimSize1 = array->ulElements;
        array->wPhysicalBytes = 1;
        array->wLogicalBits = 8;
        return kNkMAIDResult_NoError;
      }
      default:
        return kNkMAIDResult_NotSupported;
    }
  }
  auto itemIt = camera->items.find(node.itemId);
  if (itemIt == camera->items.end()) return kNkMAIDResult_ZombieObject;
  const Item& item = itemIt->second;
  switch (capId) {
    case kNkMAIDCapability_Name:
      return putText(ItemName(item));
    case kNkMAIDCapability_DataTypes:
      return putUnsigned(kNkMAIDDataObjType_Image);
    case kNkMAIDCapability_StoredBytes:
      if (sim.faults.storedBytesUnreadable) {
        sim.faults.storedBytesUnreadable = false;
        return kNkMAIDResult_UnexpectedError;
      }
      if (sim.faults.storedBytesClaim) {
        const ULONG claim = *sim.faults.storedBytesClaim;
        sim.faults.storedBytesClaim.reset();
        return putUnsigned(claim);
      }
      return putUnsigned(item.bytes());
    case kNkMAIDCapability_RawJpegImageStatus:
      return putUnsigned(item.sidecar ? 1 : 0);
    default:
      return kNkMAIDResult_NotSupported;
  }
}

NKERROR CapGetArray(Node& node, ULONG capId, NKPARAM data) {
  if (!data) return kNkMAIDResult_UnexpectedDataType;
  if (capId == kNkMAIDCapability_GetLiveViewImage) {
    Camera* camera = FindCamera(node.cameraId);
    auto* array = reinterpret_cast<maid::MaidArray*>(data);
    if (!camera || node.kind != Kind::Camera) return kNkMAIDResult_NotSupported;
    if (!array->pData || array->ulElements != camera->frame.size()) return kNkMAIDResult_BufferSize;
    std::memcpy(array->pData, camera->frame.data(), camera->frame.size());
    return kNkMAIDResult_NoError;
  }
  EnumData e;
  if (!EnumOf(node, capId, e)) return kNkMAIDResult_NotSupported;
  auto* out = reinterpret_cast<maid::MaidEnum*>(data);
  if (!out->pData) return kNkMAIDResult_UnexpectedDataType;
  if (!e.bytes.empty()) std::memcpy(out->pData, e.bytes.data(), e.bytes.size());
  return kNkMAIDResult_NoError;
}

NKERROR CapSet(Node& node, ULONG capId, ULONG dataType, NKPARAM data) {
  if (capId == kNkMAIDCapability_EventProc || capId == kNkMAIDCapability_DataProc) {
    maid::MaidCallback callback{};
    if (dataType == kNkMAIDDataType_CallbackPtr && data)
      callback = *reinterpret_cast<maid::MaidCallback*>(data);
    (capId == kNkMAIDCapability_EventProc ? node.eventProc : node.dataProc) = callback;
    return kNkMAIDResult_NoError;
  }
  Camera* camera = node.kind == Kind::Camera ? FindCamera(node.cameraId) : nullptr;
  if (!camera) return kNkMAIDResult_NotSupported;
  if (!camera->plugged) return kNkMAIDResult_CameraNotFound;
  const ULONG value = static_cast<ULONG>(data);
  ULONG count = 0;
  if (ULONG* index = EnumIndexOf(*camera, capId, count)) {
    if (dataType != kNkMAIDDataType_EnumPtr || !data) return kNkMAIDResult_UnexpectedDataType;
    const ULONG chosen = reinterpret_cast<maid::MaidEnum*>(data)->ulValue;
    if (chosen >= count) return kNkMAIDResult_ValueOutOfBounds;
    *index = chosen;
    QueueEvent(Kind::Camera, node.cameraId, kNkMAIDEvent_CapChangeValueOnly, capId);
    return kNkMAIDResult_NoError;
  }
  switch (capId) {
    case kNkMAIDCapability_MFDriveStep:
      if (dataType != kNkMAIDDataType_RangePtr || !data) return kNkMAIDResult_UnexpectedDataType;
      camera->focusStep = reinterpret_cast<maid::MaidRange*>(data)->lfValue;
      return kNkMAIDResult_NoError;
    default:
      break;
  }
  if (dataType != kNkMAIDDataType_Unsigned) return kNkMAIDResult_UnexpectedDataType;
  switch (capId) {
    case kNkMAIDCapability_FocusMode:
      camera->focusMode = value ? 1 : 0;
      return kNkMAIDResult_NoError;
    case kNkMAIDCapability_IsoControl:
      camera->isoAuto = value != 0;
      QueueEvent(Kind::Camera, node.cameraId, kNkMAIDEvent_CapChangeValueOnly, capId);
      return kNkMAIDResult_NoError;
    case kNkMAIDCapability_SaveMedia:
      camera->saveMedia = value;
      return kNkMAIDResult_NoError;
    case kNkMAIDCapability_LiveViewStatus:
      if (value != 0 && value != 1 && value != 3) return kNkMAIDResult_ValueOutOfBounds;
      camera->liveView = value;
      return kNkMAIDResult_NoError;
    case kNkMAIDCapability_ContrastAF:
      if (value > 1) return kNkMAIDResult_ValueOutOfBounds;
      camera->contrastAf = value;
      // Contrast detection finds the sharp position at once in the simulation.
      if (value == 0) camera->focus = kSharpFocus;
      return kNkMAIDResult_NoError;
    case kNkMAIDCapability_MFDrive:
      if (value > 1) return kNkMAIDResult_ValueOutOfBounds;
      camera->focus += value == 0 ? camera->focusStep : -camera->focusStep;
      camera->focus = std::max(0.0, std::min(camera->focus, 2.0 * kSharpFocus));
      return kNkMAIDResult_NoError;
    default:
      return kNkMAIDResult_NotSupported;
  }
}

NKERROR CapStart(MaidObject* record, Node& node, ULONG capId, maid::CompletionProc proc, NKREF ref) {
  Simulator& sim = Sim();
  if (node.kind == Kind::Camera && capId == kNkMAIDCapability_Capture) {
    Camera* camera = FindCamera(node.cameraId);
    if (!camera || !camera->plugged) return kNkMAIDResult_CameraNotFound;
    if (sim.faults.captureHangs) {
      // The completion does not come while the module is open.
      sim.faults.captureHangs = false;
      sim.heldCaptures.push_back({record, proc, ref});
      return kNkMAIDResult_Pending;
    }
    const ULONG cameraId = node.cameraId;
    sim.jobs.push_back([cameraId, record, proc, ref] { RunCapture(cameraId, record, proc, ref); });
    return kNkMAIDResult_Pending;
  }
  if (node.kind == Kind::Data && capId == kNkMAIDCapability_Acquire) {
    Transfer t{record, proc, ref, node.cameraId, node.itemId, 0, sim.faults.transferLost,
               sim.faults.blockWraps};
    sim.faults.transferLost = false;
    sim.faults.blockWraps = false;
    sim.jobs.push_front([t] { RunTransfer(t); });
    return kNkMAIDResult_Pending;
  }
  return kNkMAIDResult_NotSupported;
}

NKERROR Handle(MaidObject* object, ULONG command, ULONG param, ULONG dataType, NKPARAM data,
               maid::CompletionProc proc, NKREF ref) {
  Simulator& sim = Sim();
  if (command == kNkMAIDCommand_Open) return Open(object, param, data);
  auto it = sim.open.find(object);
  if (it == sim.open.end()) return kNkMAIDResult_ZombieObject;
  Node& node = it->second;
  if (command == kNkMAIDCommand_Close) return Close(object, node);
  if (command == kNkMAIDCommand_Async) return Async();
  const std::vector<Capability>& caps = CapabilitiesOf(node.kind);
  if (command == kNkMAIDCommand_GetCapCount) {
    if (!data) return kNkMAIDResult_UnexpectedDataType;
    *reinterpret_cast<ULONG*>(data) = static_cast<ULONG>(caps.size());
    return kNkMAIDResult_NoError;
  }
  if (command == kNkMAIDCommand_GetCapInfo) {
    if (sim.faults.bufferSizeAnswers > 0) {
      --sim.faults.bufferSizeAnswers;
      return kNkMAIDResult_BufferSize;
    }
    if (!data || param < caps.size()) return kNkMAIDResult_BufferSize;
    auto* info = reinterpret_cast<maid::MaidCapInfo*>(data);
    for (const Capability& cap : caps) {
      *info = maid::MaidCapInfo{};
      info->ulID = cap.id;
      info->ulType = cap.type;
      info->ulOperations = cap.operations;
      ++info;
    }
    return kNkMAIDResult_NoError;
  }
  if (!Lists(node.kind, param)) return kNkMAIDResult_NotSupported;
  switch (command) {
    case kNkMAIDCommand_CapGet:
      return CapGet(node, param, dataType, data);
    case kNkMAIDCommand_CapGetArray:
      return CapGetArray(node, param, data);
    case kNkMAIDCommand_CapSet:
      return CapSet(node, param, dataType, data);
    case kNkMAIDCommand_CapStart:
      return CapStart(object, node, param, proc, ref);
    default:
      return kNkMAIDResult_NotSupported;
  }
}

}  // namespace
}  // namespace lbsim

LBSIM_EXPORT maid::NKERROR MAIDEntryPoint(maid::MaidObject* object, maid::ULONG command,
                                          maid::ULONG param, maid::ULONG dataType,
                                          maid::NKPARAM data, maid::CompletionProc proc,
                                          maid::NKREF ref) {
  std::lock_guard<std::recursive_mutex> lock(lbsim::Sim().mutex);
  if (!lbsim::Sim().loaded) lbsim::LoadScenario();
  return lbsim::Handle(object, command, param, dataType, data, proc, ref);
}

// One control line (see ApplyControlLine); 0 when understood.
LBSIM_EXPORT int LbSimControl(const char* line) {
  std::lock_guard<std::recursive_mutex> lock(lbsim::Sim().mutex);
  if (!line) return -1;
  if (!lbsim::Sim().loaded) lbsim::LoadScenario();
  return lbsim::ApplyControlLine(line);
}
