#include "fuzz/fuzzed_camera_module.h"

#include "tests/camera/fake_module.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>

namespace fuzzmodule {
namespace {

using maid::MaidObject;
using maid::NKERROR;
using maid::NKPARAM;
using maid::NKREF;
using maid::ULONG;

struct Node {
  Kind kind = Kind::Module;
  ULONG cameraId = 0;
  ULONG itemId = 0;
  maid::MaidCallback eventProc{};
  maid::MaidCallback dataProc{};
};

// A started command's completion, delivered at a later Async.
struct Completion {
  MaidObject* record = nullptr;
  ULONG param = 0;
  maid::CompletionProc proc = nullptr;
  NKREF ref = nullptr;
  NKERROR result = 0;
  unsigned pollsLeft = 0;
  unsigned times = 1;  // 0: never; 2: twice
  ULONG cameraId = 0;
  std::vector<ULONG> itemsAfter;  // items announced once it has come
};

struct Block {
  std::uint32_t start = 0;
  std::uint32_t length = 0;
  std::uint32_t total = 0;
};

// A transfer under way: its blocks go out over the caller's polls, then its completion.
struct Transfer {
  MaidObject* record = nullptr;
  std::uint32_t file = 0;
  ULONG fileDataType = kNkMAIDFileDataType_JPEG;
  ULONG cameraId = 0;
  std::vector<ULONG> nested;  // items announced inside this transfer
  std::deque<Block> blocks;
  Completion completion;
};

struct Module {
  CAnswers answers;
  bool calm = false;
  std::string moduleType;
  std::map<ULONG, Camera> cameras;
  std::map<MaidObject*, Node> open;
  std::set<MaidObject*> closed;
  unsigned callsAfterClose = 0;
  std::vector<File> files;
  std::vector<Completion> completions;
  std::vector<Transfer> transfers;
  bool working = false;  // RunPendingWork is on the stack: a module does not re-enter it
  std::uint32_t habits = 0;
  unsigned polls = 0;
  unsigned bufferSizeAnswers = 0;
  bool refuseNextItem = false;
};

Module& M() {
  static Module module;
  return module;
}

// The results a module answers instead of doing what was asked.
constexpr NKERROR kTroubles[] = {
    0,
    kNkMAIDResult_NotSupported,
    kNkMAIDResult_UnexpectedError,
    kNkMAIDResult_HardwareError,
    kNkMAIDResult_DeviceBusy,
    kNkMAIDResult_CameraNotFound,
    kNkMAIDResult_ZombieObject,
    kNkMAIDResult_ValueOutOfBounds,
    kNkMAIDResult_BufferSize,
    kNkMAIDResult_Pending,
    kNkMAIDResult_NotLiveView,
    kNkMAIDResult_OutOfFocus,
    kNkMAIDResult_UnexpectedDataType,
    kNkMAIDResult_Aborted,
};
constexpr unsigned kTroubleCount = sizeof kTroubles / sizeof kTroubles[0];

unsigned Pick(unsigned count) { return M().calm ? 0 : M().answers.pick(count); }
std::uint8_t Byte() { return M().calm ? 0 : M().answers.byte(); }
bool Has(Habit habit) { return !M().calm && (M().habits & (1u << static_cast<unsigned>(habit))) != 0; }

// The capabilities every camera may list, with their types; the first ones always.
struct Capability {
  ULONG id;
  ULONG type;
  ULONG twistedType;  // what a module with another idea of it answers
};
const Capability kCameraCaps[] = {
    {kNkMAIDCapability_EventProc, kNkMAIDCapType_Process, kNkMAIDCapType_Process},
    {kNkMAIDCapability_DataProc, kNkMAIDCapType_Process, kNkMAIDCapType_Process},
    {kNkMAIDCapability_Children, kNkMAIDCapType_Enum, kNkMAIDCapType_Enum},
    {kNkMAIDCapability_Name, kNkMAIDCapType_String, kNkMAIDCapType_String},
    // Optional from here on (bit 0 is IsAlive).
    {kNkMAIDCapability_IsAlive, kNkMAIDCapType_Boolean, kNkMAIDCapType_Unsigned},
    {kNkMAIDCapability_Capture, kNkMAIDCapType_Process, kNkMAIDCapType_Boolean},
    {kNkMAIDCapability_Firmware, kNkMAIDCapType_String, kNkMAIDCapType_Integer},
    {kNkMAIDCapability_BatteryLevel, kNkMAIDCapType_Integer, kNkMAIDCapType_String},
    {kNkMAIDCapability_ExposureMode, kNkMAIDCapType_Enum, kNkMAIDCapType_Unsigned},
    {kNkMAIDCapability_ShutterSpeed, kNkMAIDCapType_Enum, kNkMAIDCapType_String},
    {kNkMAIDCapability_Aperture, kNkMAIDCapType_Enum, kNkMAIDCapType_Range},
    {kNkMAIDCapability_Sensitivity, kNkMAIDCapType_Enum, kNkMAIDCapType_Unsigned},
    {kNkMAIDCapability_WBMode, kNkMAIDCapType_Enum, kNkMAIDCapType_Boolean},
    {kNkMAIDCapability_FocusMode, kNkMAIDCapType_Unsigned, kNkMAIDCapType_Enum},
    {kNkMAIDCapability_IsoControl, kNkMAIDCapType_Boolean, kNkMAIDCapType_Enum},
    {kNkMAIDCapability_CameraType, kNkMAIDCapType_Unsigned, kNkMAIDCapType_String},
    {kNkMAIDCapability_LiveViewStatus, kNkMAIDCapType_Unsigned, kNkMAIDCapType_Boolean},
    {kNkMAIDCapability_ContrastAF, kNkMAIDCapType_Unsigned, kNkMAIDCapType_Process},
    {kNkMAIDCapability_GetLiveViewImage, kNkMAIDCapType_Array, kNkMAIDCapType_Unsigned},
    {kNkMAIDCapability_MFDriveStep, kNkMAIDCapType_Range, kNkMAIDCapType_Unsigned},
    {kNkMAIDCapability_MFDrive, kNkMAIDCapType_Unsigned, kNkMAIDCapType_Process},
    {kNkMAIDCapability_SaveMedia, kNkMAIDCapType_Unsigned, kNkMAIDCapType_Enum},
    {kNkMAIDCapability_AutoIsoSensitivity, kNkMAIDCapType_Enum, kNkMAIDCapType_Integer},
};
constexpr unsigned kAlwaysListed = 4;

const std::vector<Capability> kModuleCaps = {
    {kNkMAIDCapability_EventProc, kNkMAIDCapType_Process, 0},
    {kNkMAIDCapability_Children, kNkMAIDCapType_Enum, 0},
    {kNkMAIDCapability_Name, kNkMAIDCapType_String, 0},
};
const std::vector<Capability> kItemCaps = {
    {kNkMAIDCapability_EventProc, kNkMAIDCapType_Process, 0},
    {kNkMAIDCapability_Children, kNkMAIDCapType_Enum, 0},
    {kNkMAIDCapability_Name, kNkMAIDCapType_String, 0},
    {kNkMAIDCapability_DataTypes, kNkMAIDCapType_Unsigned, 0},
};
const std::vector<Capability> kDataCaps = {
    {kNkMAIDCapability_DataProc, kNkMAIDCapType_Process, 0},
    {kNkMAIDCapability_Name, kNkMAIDCapType_String, 0},
    {kNkMAIDCapability_StoredBytes, kNkMAIDCapType_Unsigned, 0},
    {kNkMAIDCapability_Acquire, kNkMAIDCapType_Process, 0},
    {kNkMAIDCapability_RawJpegImageStatus, kNkMAIDCapType_Unsigned, 0},
};

Camera* FindCamera(ULONG id) {
  auto it = M().cameras.find(id);
  return it == M().cameras.end() ? nullptr : &it->second;
}

Item* FindItem(const Node& node) {
  Camera* camera = FindCamera(node.cameraId);
  if (!camera) return nullptr;
  auto it = camera->items.find(node.itemId);
  return it == camera->items.end() ? nullptr : &it->second;
}

// The capabilities `node` lists, with the types it gives them now.
std::vector<Capability> ListOf(const Node& node) {
  switch (node.kind) {
    case Kind::Module:
      return kModuleCaps;
    case Kind::Item:
      return kItemCaps;
    case Kind::Data:
      return kDataCaps;
    case Kind::Camera:
      break;
  }
  std::vector<Capability> list;
  const Camera* camera = FindCamera(node.cameraId);
  for (unsigned i = 0; i < sizeof kCameraCaps / sizeof kCameraCaps[0]; ++i) {
    Capability cap = kCameraCaps[i];
    if (i >= kAlwaysListed && camera) {
      const unsigned bit = i - kAlwaysListed;
      if (camera->missingCaps & (1u << bit)) continue;
      if (camera->twistedTypes & (1u << bit)) cap.type = cap.twistedType;
    }
    list.push_back(cap);
  }
  return list;
}

const Capability* Listed(const Node& node, ULONG capId, std::vector<Capability>& list) {
  list = ListOf(node);
  for (const Capability& cap : list)
    if (cap.id == capId) return &cap;
  return nullptr;
}

MaidObject* RecordOf(Kind kind, ULONG cameraId) {
  for (auto& entry : M().open)
    if (entry.second.kind == kind && (kind == Kind::Module || entry.second.cameraId == cameraId))
      return entry.first;
  return nullptr;
}

void DeliverEvent(const maid::MaidCallback& callback, ULONG event, NKPARAM data) {
  if (callback.pProc) reinterpret_cast<maid::EventProc>(callback.pProc)(callback.refProc, event, data);
}

// The camera's queued events, to its event procedure when it is open (else they are lost,
// as a real camera's are when nobody listens).
void DeliverCameraEvents(ULONG cameraId) {
  Camera* camera = FindCamera(cameraId);
  if (!camera || camera->events.empty()) return;
  std::vector<std::pair<ULONG, NKPARAM>> events;
  events.swap(camera->events);
  for (const auto& event : events) {
    MaidObject* record = RecordOf(Kind::Camera, cameraId);
    if (!record) return;
    DeliverEvent(M().open[record].eventProc, event.first, event.second);
  }
}

// A shot: its files, the items that carry them, announced by events at the next calls.
std::vector<ULONG> MakeShot(ULONG cameraId) {
  std::vector<ULONG> ids;
  Camera* camera = FindCamera(cameraId);
  if (!camera || !camera->plugged) return ids;
  const unsigned number = ++camera->shots;
  std::vector<ULONG> kinds;
  if (camera->format != 0) kinds.push_back(kNkMAIDFileDataType_NIF);
  if (camera->format != 1) kinds.push_back(kNkMAIDFileDataType_JPEG);
  if (Has(Habit::JpegFirst) != (Pick(3) == 1)) std::reverse(kinds.begin(), kinds.end());
  for (ULONG kind : kinds) {
    Item item;
    char name[32];
    // A camera may give a name the pair does not share, or none at all.
    const unsigned naming = Pick(4);
    std::snprintf(name, sizeof name, "DSC_%04u.%s", naming == 1 ? number + 1 : number,
                  kind == kNkMAIDFileDataType_NIF ? "NEF" : "JPG");
    item.name = naming == 2 ? "" : name;
    item.fileDataType = kind;
    item.sidecar = kinds.size() == 2;
    if (Pick(4) == 1) item.sidecar = !item.sidecar;
    File file;
    file.serial = static_cast<std::uint32_t>(M().files.size() + 1) * 7919u + cameraId;
    file.size = 256 + Byte() * 61u + Byte();
    item.file = static_cast<std::uint32_t>(M().files.size());
    M().files.push_back(file);
    const ULONG id = camera->nextItemId++;
    camera->items[id] = item;
    ids.push_back(id);
  }
  return ids;
}

// The items of a shot are announced by events at the camera's next calls; with nested items,
// the second inside the first one's transfer.
void AnnounceItems(ULONG cameraId, const std::vector<ULONG>& ids) {
  Camera* camera = FindCamera(cameraId);
  if (!camera || ids.empty()) return;
  camera->events.push_back({kNkMAIDEvent_AddChild, ids.front()});
  for (std::size_t i = 1; i < ids.size(); ++i) {
    auto first = camera->items.find(ids.front());
    if (Has(Habit::NestedItems) && first != camera->items.end())
      first->second.nested.push_back(ids[i]);
    else
      camera->events.push_back({kNkMAIDEvent_AddChild, ids[i]});
  }
}

// Every Async, on whichever object, runs the module's pending work, as real modules do.
void RunPendingWork() {
  if (M().working) return;
  M().working = true;
  for (auto& entry : M().cameras) DeliverCameraEvents(entry.first);

  // Transfers: a few blocks each, then the completion.
  for (std::size_t i = 0; i < M().transfers.size();) {
    auto node = M().open.find(M().transfers[i].record);
    unsigned burst = Has(Habit::SlowLink) ? 1 : 1 + Byte() % 4;
    while (node != M().open.end() && burst-- > 0 && !M().transfers[i].blocks.empty()) {
      Transfer& t = M().transfers[i];
      const Block block = t.blocks.front();
      t.blocks.pop_front();
      File& file = M().files[t.file];
      std::vector<unsigned char> bytes(block.length);
      for (std::uint32_t k = 0; k < block.length; ++k) bytes[k] = File::ByteAt(file.serial, block.start + k);
      if (file.delivered.size() < std::uint64_t{block.start} + block.length)
        file.delivered.resize(std::uint64_t{block.start} + block.length);
      std::fill(file.delivered.begin() + block.start, file.delivered.begin() + block.start + block.length, true);
      file.claimedTotals.insert(block.total);
      maid::MaidDataInfo info{kNkMAIDDataObjType_File | kNkMAIDDataObjType_Image, t.fileDataType,
                              block.total, block.start, block.length};
      const maid::MaidCallback proc = node->second.dataProc;
      std::vector<ULONG> nested;
      nested.swap(t.nested);
      const ULONG cameraId = t.cameraId;
      if (proc.pProc)
        reinterpret_cast<maid::DataProc>(proc.pProc)(proc.refProc, &info, bytes.data());
      // The pair's other item, announced while this one's transfer is under way.
      if (!nested.empty()) {
        if (Camera* camera = FindCamera(cameraId))
          for (ULONG id : nested) camera->events.push_back({kNkMAIDEvent_AddChild, id});
        DeliverCameraEvents(cameraId);
      }
      node = M().open.find(M().transfers[i].record);
    }
    Transfer& t = M().transfers[i];
    if (node == M().open.end() || t.blocks.empty()) {
      // A transfer of a closed object ends; its completion may still come.
      M().completions.push_back(t.completion);
      M().transfers.erase(M().transfers.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
  }

  std::vector<Completion> due;
  for (auto it = M().completions.begin(); it != M().completions.end();) {
    if (it->pollsLeft == 0) {
      due.push_back(*it);
      it = M().completions.erase(it);
    } else {
      --it->pollsLeft;
      ++it;
    }
  }
  for (const Completion& c : due) {
    for (unsigned n = 0; n < c.times && c.proc; ++n)
      c.proc(c.record, kNkMAIDCommand_CapStart, c.param, 0, 0, c.ref, c.result);
    AnnounceItems(c.cameraId, c.itemsAfter);
  }
  M().working = false;
}

Completion CompletionOf(MaidObject* record, ULONG param, maid::CompletionProc proc, NKREF ref,
                        NKERROR result) {
  Completion c{record, param, proc, ref, result, 0, 1, 0, {}};
  if (Has(Habit::CompleteTwice)) c.times = 2;
  switch (Pick(6)) {
    case 1: c.times = 0; break;
    case 2: c.times = 2; break;
    case 3: c.result = kTroubles[1 + Byte() % (kTroubleCount - 1)]; break;
    case 4: c.pollsLeft = 1 + Byte() % 8; break;
    default: break;
  }
  return c;
}

NKERROR StartAcquire(MaidObject* record, const Node& node, maid::CompletionProc proc, NKREF ref) {
  Item* item = FindItem(node);
  if (!item) return kNkMAIDResult_ZombieObject;
  File& file = M().files[item->file];
  Transfer t;
  t.record = record;
  t.file = item->file;
  t.fileDataType = item->fileDataType;
  t.cameraId = node.cameraId;
  t.nested = item->nested;
  item->nested.clear();
  // Plain blocks cover the file in order; the input may cut, repeat, drop, swap them or make
  // them claim another total.
  const std::uint32_t pieces = 1 + Byte() % 5;
  std::uint32_t piece = std::max<std::uint32_t>(1, (file.size + pieces - 1) / pieces);
  unsigned blockNumber = 0;
  for (std::uint32_t start = 0; start < file.size; start += piece) {
    // Ragged: sizes that follow no rule, and an empty block among them.
    if (Has(Habit::RaggedBlocks)) piece = (blockNumber++ % 3 == 1) ? 0 : 1 + (start * 7 + 13) % 300;
    Block block{start, std::min(piece, file.size - start), file.size};
    switch (Pick(7)) {
      case 1: continue;  // left out
      case 2: t.blocks.push_back(block); break;  // sent twice
      case 3: block.total = file.size + 1 + Byte(); break;
      case 4: block.total = block.total > 1 ? block.total - 1 - Byte() % block.total : 0; break;
      case 5: block.length = 0; break;
      case 6: if (!t.blocks.empty()) std::swap(block, t.blocks.back()); break;
      default: break;
    }
    t.blocks.push_back(block);
  }
  t.completion = CompletionOf(record, kNkMAIDCapability_Acquire, proc, ref,
                              Has(Habit::TransferLost) ? kNkMAIDResult_CameraNotFound : 0);
  switch (Has(Habit::SyncComplete) ? 2 : Pick(4)) {
    case 1:  // refused; a module may still complete it later
      if (Pick(2) == 1) M().completions.push_back(t.completion);
      return kNkMAIDResult_HardwareError;
    case 2:  // done inside the call
      M().transfers.push_back(t);
      if (!M().working)
        while (!M().transfers.empty() && M().transfers.back().record == record) RunPendingWork();
      return kNkMAIDResult_NoError;
    default:
      M().transfers.push_back(t);
      return kNkMAIDResult_Pending;
  }
}

NKERROR StartCapture(MaidObject* record, const Node& node, maid::CompletionProc proc, NKREF ref) {
  Camera* camera = FindCamera(node.cameraId);
  if (!camera) return kNkMAIDResult_CameraNotFound;
  unsigned choice = Pick(6);
  if (Has(Habit::RefusedStart)) choice = 1;
  if (Has(Habit::RefusedStartLate)) choice = 2;
  if (Has(Habit::OutOfFocus)) choice = 3;
  if (Has(Habit::CaptureHangs)) choice = 4;
  switch (choice) {
    case 1:  // refused at once
      return kNkMAIDResult_DeviceBusy;
    case 2:  // refused, and completed with the refusal anyway
      M().completions.push_back(CompletionOf(record, kNkMAIDCapability_Capture, proc, ref, kNkMAIDResult_HardwareError));
      return kNkMAIDResult_HardwareError;
    case 3:  // taken, but no picture came (focus priority)
      M().completions.push_back(CompletionOf(record, kNkMAIDCapability_Capture, proc, ref, kNkMAIDResult_OutOfFocus));
      return kNkMAIDResult_Pending;
    case 4:  // the shot is taken, the release never completes
      AnnounceItems(node.cameraId, MakeShot(node.cameraId));
      return kNkMAIDResult_Pending;
    default:
      break;
  }
  const std::vector<ULONG> ids = MakeShot(node.cameraId);
  Completion completion = CompletionOf(record, kNkMAIDCapability_Capture, proc, ref, 0);
  completion.cameraId = node.cameraId;
  if (Has(Habit::LateItems) || Pick(3) == 1)
    completion.itemsAfter = ids;
  else
    AnnounceItems(node.cameraId, ids);
  if (Has(Habit::SyncComplete)) {
    // The shot is taken inside the call: its items and its completion come before it returns.
    AnnounceItems(node.cameraId, completion.itemsAfter);
    completion.itemsAfter.clear();
    DeliverCameraEvents(node.cameraId);
    for (unsigned n = 0; n < completion.times && proc; ++n)
      proc(record, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture, 0, 0, ref, completion.result);
    return kNkMAIDResult_NoError;
  }
  M().completions.push_back(completion);
  return kNkMAIDResult_Pending;
}

// An enumeration as the module answers it, built as the scripted fake module builds its own.
using EnumAnswer = CFakeCapability;

const std::vector<std::string> kShutterSpeeds = {"30\"", "4\"", "1\"", "1/4", "1/15", "1/60",
                                                 "1/125", "1/250", "1/500", "1/4000", "Bulb"};
const std::vector<std::string> kApertures = {"f/1.8", "f/2.8", "f/4", "f/5.6", "f/8", "f/16"};
const std::vector<std::string> kIsoSpeeds = {"100", "200", "400", "800", "1600", "Hi 1"};
const std::vector<std::string> kWhiteBalances = {"Auto", "Daylight", "Cloudy", "Flash"};
const std::vector<std::string> kAutoIso = {"ISO 800", "ISO 3200"};

// The enumeration `capId` of `node`, with the input's twists; false when it has none.
bool EnumOf(const Node& node, ULONG capId, EnumAnswer& out) {
  if (capId == kNkMAIDCapability_Children) {
    std::vector<ULONG> ids;
    if (node.kind == Kind::Module) {
      for (const auto& entry : M().cameras)
        if (entry.second.plugged) ids.push_back(entry.first);
    } else if (node.kind == Kind::Camera) {
      if (Camera* camera = FindCamera(node.cameraId))
        for (const auto& entry : camera->items) ids.push_back(entry.first);
    } else if (node.kind == Kind::Item) {
      ids.push_back(1);
    }
    switch (Pick(4)) {
      case 1: ids.push_back(Byte() % 3 == 0 ? 0 : 0x100 + Byte()); break;
      case 2: if (!ids.empty()) ids.push_back(ids.front()); break;
      case 3: ids.clear(); break;
      default: break;
    }
    out = CFakeCapability::UnsignedEnum(ids, 0);
  } else {
    Camera* camera = node.kind == Kind::Camera ? FindCamera(node.cameraId) : nullptr;
    if (!camera) return false;
    switch (capId) {
      case kNkMAIDCapability_ExposureMode: out = CFakeCapability::UnsignedEnum({0, 1, 2, 3}, camera->exposure); break;
      case kNkMAIDCapability_ShutterSpeed: out = CFakeCapability::PackedEnum(kShutterSpeeds, camera->shutter); break;
      case kNkMAIDCapability_Aperture: out = CFakeCapability::FixedEnum(kApertures, camera->aperture); break;
      case kNkMAIDCapability_Sensitivity: out = CFakeCapability::PackedEnum(kIsoSpeeds, camera->iso); break;
      case kNkMAIDCapability_WBMode: out = CFakeCapability::FixedEnum(kWhiteBalances, camera->whiteBalance); break;
      case kNkMAIDCapability_AutoIsoSensitivity: out = CFakeCapability::FixedEnum(kAutoIso, camera->autoIso); break;
      default: return false;
    }
  }
  if (Has(Habit::EnumOutOfRange) && capId != kNkMAIDCapability_Children) out.current = out.elementCount;
  switch (Pick(6)) {
    case 1: out.current = out.elementCount + Byte(); break;
    case 2: out.enumKind = Byte() % 10; break;
    case 3: out.elementSize = static_cast<std::uint16_t>(Byte() % 9); break;
    case 4: if (!out.elements.empty()) out.elements.back() = 'x'; break;  // a text without its end
    case 5: out.elementCount += Byte(); break;  // more entries than it hands over
    default: break;
  }
  return true;
}

ULONG* EnumIndex(Camera& camera, ULONG capId, ULONG& count) {
  switch (capId) {
    case kNkMAIDCapability_ExposureMode: count = 4; return &camera.exposure;
    case kNkMAIDCapability_ShutterSpeed: count = static_cast<ULONG>(kShutterSpeeds.size()); return &camera.shutter;
    case kNkMAIDCapability_Aperture: count = static_cast<ULONG>(kApertures.size()); return &camera.aperture;
    case kNkMAIDCapability_Sensitivity: count = static_cast<ULONG>(kIsoSpeeds.size()); return &camera.iso;
    case kNkMAIDCapability_WBMode: count = static_cast<ULONG>(kWhiteBalances.size()); return &camera.whiteBalance;
    case kNkMAIDCapability_AutoIsoSensitivity: count = static_cast<ULONG>(kAutoIso.size()); return &camera.autoIso;
    default: return nullptr;
  }
}

// A live-view frame: a header of the camera's own, then a JPEG, in the input's sizes.
std::vector<unsigned char> LiveViewFrame() {
  std::vector<unsigned char> frame(Byte() % 2 ? 384 : 128, 0);
  std::vector<unsigned char> jpeg{0xFF, 0xD8};
  jpeg.resize(2 + Byte() * 8u, 0x55);
  jpeg.push_back(0xFF);
  jpeg.push_back(0xD9);
  if (Has(Habit::LiveViewShort) || Pick(3) == 1) jpeg.resize(Byte());  // a frame cut short
  frame.insert(frame.end(), jpeg.begin(), jpeg.end());
  return frame;
}

NKERROR CapGet(const Node& node, const Capability& cap, ULONG dataType, NKPARAM data) {
  if (!data) return kNkMAIDResult_UnexpectedDataType;
  Camera* camera = FindCamera(node.cameraId);
  Item* item = node.kind == Kind::Item || node.kind == Kind::Data ? FindItem(node) : nullptr;
  switch (dataType) {
    case kNkMAIDDataType_BooleanPtr: {
      bool value = false;
      if (cap.id == kNkMAIDCapability_IsAlive && camera) value = camera->alive && camera->plugged;
      else if (cap.id == kNkMAIDCapability_IsoControl && camera) value = camera->isoControl;
      if (Pick(3) == 1) value = !value;
      *reinterpret_cast<unsigned char*>(data) = value ? 1 : 0;
      return 0;
    }
    case kNkMAIDDataType_IntegerPtr:
    case kNkMAIDDataType_UnsignedPtr: {
      ULONG value = 0;
      switch (cap.id) {
        case kNkMAIDCapability_DataTypes: value = kNkMAIDDataObjType_Image; break;
        case kNkMAIDCapability_StoredBytes:
          if (item) {
            if (Has(Habit::StoredBytesUnreadable)) return kNkMAIDResult_UnexpectedError;
            value = M().files[item->file].size;
            if (Has(Habit::StoredBytesWrong)) value += 4096;
            if (Pick(4) != 0) value = Byte() % 2 ? 0 : value + 1 + Byte() * 1000u;
            M().files[item->file].claimedTotals.insert(value);
          }
          break;
        case kNkMAIDCapability_RawJpegImageStatus: value = item && item->sidecar ? 1 : 0; break;
        case kNkMAIDCapability_CameraType: value = Byte() % 4; break;
        case kNkMAIDCapability_FocusMode: value = camera ? camera->focusMode : 0; break;
        case kNkMAIDCapability_LiveViewStatus: value = camera ? camera->liveView : 0; break;
        case kNkMAIDCapability_ContrastAF: value = camera ? camera->contrastAf : 0; break;
        case kNkMAIDCapability_SaveMedia: value = camera ? camera->saveMedia : 0; break;
        case kNkMAIDCapability_BatteryLevel: value = 80; break;
        default: value = Byte(); break;
      }
      if (Pick(5) == 1) value = 0xFFFFFFFFu - Byte();
      *reinterpret_cast<ULONG*>(data) = value;
      return 0;
    }
    case kNkMAIDDataType_StringPtr: {
      char* text = reinterpret_cast<char*>(data);
      std::string value = "1.00";
      if (cap.id == kNkMAIDCapability_Name) {
        if (node.kind == Kind::Module) value = M().moduleType + " Module";
        else if (node.kind == Kind::Camera) value = node.cameraId % 2 ? "D850" : "Z 9";
        else value = item ? item->name : "";
      }
      std::memset(text, 0, 256);
      std::memcpy(text, value.data(), std::min<std::size_t>(value.size(), 255));
      if (Pick(4) == 1) std::memset(text, 'A' + Byte() % 26, 256);  // no end at all
      return 0;
    }
    case kNkMAIDDataType_EnumPtr: {
      EnumAnswer e;
      if (!EnumOf(node, cap.id, e)) return kNkMAIDResult_UnexpectedDataType;
      auto* out = reinterpret_cast<maid::MaidEnum*>(data);
      out->ulType = e.enumKind;
      out->ulElements = e.elementCount;
      out->ulValue = e.current;
      out->ulDefault = 0;
      out->wPhysicalBytes = e.elementSize;
      return 0;
    }
    case kNkMAIDDataType_RangePtr: {
      auto* range = reinterpret_cast<maid::MaidRange*>(data);
      *range = maid::MaidRange{500, 500, 0, 0, 0, 32767, 0};
      if (Pick(3) == 1) range->lfUpper = -1;
      return 0;
    }
    case kNkMAIDDataType_ArrayPtr: {
      if (cap.id != kNkMAIDCapability_GetLiveViewImage || !camera) return kNkMAIDResult_UnexpectedDataType;
      if (camera->liveView == 0 && Pick(3) != 1) return kNkMAIDResult_NotLiveView;
      const std::vector<unsigned char> frame = LiveViewFrame();
      auto* out = reinterpret_cast<maid::MaidArray*>(data);
      std::uint16_t element = Has(Habit::LiveViewElements) ? 4 : 1;
      switch (Pick(4)) {
        case 1: element = 2; break;
        case 2: element = 4; break;
        case 3: element = static_cast<std::uint16_t>(Byte() % 3 == 0 ? 0 : Byte() * 257u); break;
        default: break;
      }
      out->ulType = kNkMAIDArrayType_Unsigned;
      out->wPhysicalBytes = element;
      out->ulElements = element ? static_cast<ULONG>((frame.size() + element - 1) / element) : 0;
      if (Pick(3) == 1) out->ulElements = 0xFFFFFFFFu - Byte();
      out->ulDimSize1 = out->ulElements;
      return 0;
    }
    default:
      return kNkMAIDResult_UnexpectedDataType;
  }
}

NKERROR CapGetArray(const Node& node, const Capability& cap, NKPARAM data) {
  if (!data) return kNkMAIDResult_UnexpectedDataType;
  if (cap.id == kNkMAIDCapability_GetLiveViewImage) {
    auto* array = reinterpret_cast<maid::MaidArray*>(data);
    if (!array->pData) return kNkMAIDResult_UnexpectedDataType;
    // A module writes what the descriptor says the caller's buffer holds.
    const std::uint64_t room = std::uint64_t{array->ulElements} * array->wPhysicalBytes;
    const std::vector<unsigned char> frame = LiveViewFrame();
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(room, frame.size()));
    std::memcpy(array->pData, frame.data(), n);
    std::memset(static_cast<char*>(array->pData) + n, 0, static_cast<std::size_t>(room - n));
    return 0;
  }
  auto* e = reinterpret_cast<maid::MaidEnum*>(data);
  if (!e->pData) return kNkMAIDResult_UnexpectedDataType;
  EnumAnswer answer;
  if (!EnumOf(node, cap.id, answer)) return kNkMAIDResult_UnexpectedDataType;
  const std::uint64_t room = std::uint64_t{e->ulElements} * e->wPhysicalBytes;
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(room, answer.elements.size()));
  if (n) std::memcpy(e->pData, answer.elements.data(), n);
  return 0;
}

NKERROR CapSet(Node& node, const Capability& cap, ULONG dataType, NKPARAM data) {
  if (cap.id == kNkMAIDCapability_EventProc || cap.id == kNkMAIDCapability_DataProc) {
    maid::MaidCallback callback{};
    if (dataType == kNkMAIDDataType_CallbackPtr && data) callback = *reinterpret_cast<maid::MaidCallback*>(data);
    (cap.id == kNkMAIDCapability_EventProc ? node.eventProc : node.dataProc) = callback;
    return 0;
  }
  Camera* camera = FindCamera(node.cameraId);
  if (!camera || node.kind != Kind::Camera) return kNkMAIDResult_NotSupported;
  ULONG value = dataType == kNkMAIDDataType_Unsigned ? static_cast<ULONG>(data) : 0;
  if (dataType == kNkMAIDDataType_EnumPtr && data) value = reinterpret_cast<const maid::MaidEnum*>(data)->ulValue;
  ULONG count = 0;
  if (ULONG* index = EnumIndex(*camera, cap.id, count)) {
    if (value >= count) return kNkMAIDResult_ValueOutOfBounds;
    *index = value;
  } else if (cap.id == kNkMAIDCapability_LiveViewStatus) {
    camera->liveView = value;
  } else if (cap.id == kNkMAIDCapability_ContrastAF) {
    camera->contrastAf = value;
  } else if (cap.id == kNkMAIDCapability_IsoControl) {
    camera->isoControl = data != 0;
  } else if (cap.id == kNkMAIDCapability_SaveMedia) {
    camera->saveMedia = value;
  }
  // Some cameras tell of the change they were asked for, some do not.
  if (Pick(3) == 1) camera->events.push_back({kNkMAIDEvent_CapChangeValueOnly, cap.id});
  return 0;
}

NKERROR Open(MaidObject* parent, ULONG id, NKPARAM data) {
  auto* record = reinterpret_cast<MaidObject*>(data);
  if (!record) return kNkMAIDResult_UnexpectedDataType;
  Node node;
  if (parent) {
    auto p = M().open.find(parent);
    if (p == M().open.end()) {
      if (M().closed.count(parent)) ++M().callsAfterClose;
      return kNkMAIDResult_ZombieObject;
    }
    node.cameraId = p->second.cameraId;
    switch (p->second.kind) {
      case Kind::Module: {
        const Camera* camera = FindCamera(id);
        if (!camera || !camera->plugged) return kNkMAIDResult_CameraNotFound;
        node.kind = Kind::Camera;
        node.cameraId = id;
        break;
      }
      case Kind::Camera: {
        const Camera* camera = FindCamera(node.cameraId);
        if (!camera || !camera->items.count(id)) return kNkMAIDResult_ValueOutOfBounds;
        if (M().refuseNextItem && !M().calm) {
          M().refuseNextItem = false;
          return kNkMAIDResult_HardwareError;
        }
        node.kind = Kind::Item;
        node.itemId = id;
        break;
      }
      case Kind::Item:
        if (id != 1) return kNkMAIDResult_ValueOutOfBounds;
        node.kind = Kind::Data;
        node.itemId = p->second.itemId;
        break;
      case Kind::Data:
        return kNkMAIDResult_ValueOutOfBounds;
    }
  }
  if (const unsigned trouble = Pick(kTroubleCount)) return kTroubles[trouble] == kNkMAIDResult_Pending ? kNkMAIDResult_HardwareError : kTroubles[trouble];
  record->ulType = static_cast<ULONG>(node.kind) + 1;
  record->ulID = id;
  record->refModule = nullptr;
  M().open[record] = node;
  M().closed.erase(record);  // the caller's memory, in use for a new object
  return 0;
}

NKERROR Close(MaidObject* record, const Node& node) {
  const Node closed = node;
  M().open.erase(record);
  M().closed.insert(record);
  if (closed.kind == Kind::Module) {
    // The module's end: whatever was started is given up, and nothing calls back after it.
    std::vector<Completion> left;
    left.swap(M().completions);
    for (const Transfer& t : M().transfers) left.push_back(t.completion);
    M().transfers.clear();
    for (const Completion& c : left)
      if (c.proc && c.times) c.proc(c.record, kNkMAIDCommand_CapStart, c.param, 0, 0, c.ref, kNkMAIDResult_Aborted);
  } else if (closed.kind == Kind::Item) {
    if (Camera* camera = FindCamera(closed.cameraId)) camera->items.erase(closed.itemId);
  }
  return 0;
}

}  // namespace

void Reset(const std::uint8_t* answers, std::size_t size, const std::string& moduleType) {
  Module& m = M();
  m.answers.reset(answers, size);
  m.calm = false;
  m.moduleType = moduleType;
  m.cameras.clear();
  m.cameras[1] = Camera{};
  m.open.clear();
  m.closed.clear();
  m.callsAfterClose = 0;
  m.files.clear();
  m.completions.clear();
  m.transfers.clear();
  m.working = false;
  m.habits = 0;
  m.polls = 0;
  m.bufferSizeAnswers = 0;
  m.refuseNextItem = false;
}

void Calm() { M().calm = true; }

void Plug(ULONG cameraId, bool plugged) {
  Camera& camera = M().cameras[cameraId];
  camera.plugged = plugged;
  if (!plugged) {
    camera.items.clear();
    camera.events.clear();
    camera.liveView = 0;
  }
  if (MaidObject* module = RecordOf(Kind::Module, 0))
    DeliverEvent(M().open[module].eventProc, plugged ? kNkMAIDEvent_AddChild : kNkMAIDEvent_RemoveChild, cameraId);
}

void SetAlive(ULONG cameraId, bool alive) {
  if (Camera* camera = FindCamera(cameraId)) camera->alive = alive;
}

void SetFormat(ULONG cameraId, unsigned format) {
  if (Camera* camera = FindCamera(cameraId)) camera->format = format % 3;
}

void SetCapabilityTwists(ULONG cameraId, std::uint32_t missing, std::uint32_t twisted) {
  if (Camera* camera = FindCamera(cameraId)) {
    camera->missingCaps = missing;
    camera->twistedTypes = twisted;
  }
}

void TurnDial(ULONG cameraId, unsigned which) {
  Camera* camera = FindCamera(cameraId);
  if (!camera) return;
  static const ULONG kDials[] = {kNkMAIDCapability_ShutterSpeed, kNkMAIDCapability_Aperture,
                                 kNkMAIDCapability_Sensitivity, kNkMAIDCapability_WBMode,
                                 kNkMAIDCapability_ExposureMode, kNkMAIDCapability_IsoControl};
  const ULONG capId = kDials[which % 6];
  ULONG count = 0;
  if (ULONG* index = EnumIndex(*camera, capId, count)) *index = (*index + 1 + which / 6) % count;
  if (capId == kNkMAIDCapability_IsoControl) camera->isoControl = !camera->isoControl;
  camera->events.push_back({kNkMAIDEvent_CapChangeValueOnly, capId});
}

void PressButton(ULONG cameraId) { AnnounceItems(cameraId, MakeShot(cameraId)); }

void AddHabit(Habit habit) {
  if (habit >= Habit::Count) return;
  M().habits |= 1u << static_cast<unsigned>(habit);
  if (habit == Habit::ItemOpenRefused) M().refuseNextItem = true;
  if (habit == Habit::BufferSize) M().bufferSizeAnswers = 3;
}

void QueueEvent(ULONG cameraId, ULONG event, NKPARAM data) {
  if (Camera* camera = FindCamera(cameraId)) camera->events.push_back({event, data});
}

NKERROR EntryPoint(MaidObject* object, ULONG command, ULONG param, ULONG dataType, NKPARAM data,
                   maid::CompletionProc proc, NKREF ref) {
  if (command == kNkMAIDCommand_Open) return Open(object, param, data);
  auto it = M().open.find(object);
  if (it == M().open.end()) {
    ++M().callsAfterClose;
    return kNkMAIDResult_ZombieObject;
  }
  if (command == kNkMAIDCommand_Close) return Close(object, it->second);
  const Node node = it->second;
  // Events a camera delivers inside whatever call comes next, not only in Async.
  if (node.kind == Kind::Camera && command != kNkMAIDCommand_Async &&
      (Has(Habit::EventsInCalls) || Pick(3) == 1)) {
    DeliverCameraEvents(node.cameraId);
    it = M().open.find(object);
    if (it == M().open.end()) return kNkMAIDResult_ZombieObject;
  }
  if (const unsigned trouble = Pick(kTroubleCount)) return kTroubles[trouble];
  if (command == kNkMAIDCommand_Async) {
    if (Has(Habit::AsyncBusy) && ++M().polls % 3 == 0) return kNkMAIDResult_Pending;
    RunPendingWork();
    return 0;
  }
  if (command == kNkMAIDCommand_GetCapCount) {
    if (!data) return kNkMAIDResult_UnexpectedDataType;
    *reinterpret_cast<ULONG*>(data) = static_cast<ULONG>(ListOf(node).size()) + (Pick(4) == 1 ? Byte() % 4 : 0);
    return 0;
  }
  if (command == kNkMAIDCommand_GetCapInfo) {
    const std::vector<Capability> list = ListOf(node);
    if (!data) return kNkMAIDResult_UnexpectedDataType;
    if (param < list.size()) return kNkMAIDResult_BufferSize;
    if (M().bufferSizeAnswers > 0 && !M().calm) {
      --M().bufferSizeAnswers;
      return kNkMAIDResult_BufferSize;
    }
    auto* info = reinterpret_cast<maid::MaidCapInfo*>(data);
    for (const Capability& cap : list) {
      *info = maid::MaidCapInfo{};
      info->ulID = cap.id;
      info->ulType = cap.type;
      info->ulOperations = kNkMAIDCapOperation_Get | kNkMAIDCapOperation_Set | kNkMAIDCapOperation_GetArray |
                           kNkMAIDCapOperation_Start;
      ++info;
    }
    return 0;
  }
  std::vector<Capability> list;
  const Capability* cap = Listed(node, param, list);
  if (!cap) return kNkMAIDResult_NotSupported;
  const bool liveViewCall = cap->id == kNkMAIDCapability_LiveViewStatus || cap->id == kNkMAIDCapability_GetLiveViewImage;
  if (liveViewCall && Has(Habit::LiveViewBusy) && ++M().polls % 2 == 0) return kNkMAIDResult_DeviceBusy;
  switch (command) {
    case kNkMAIDCommand_CapGet:
      return CapGet(node, *cap, dataType, data);
    case kNkMAIDCommand_CapGetArray:
      return CapGetArray(node, *cap, data);
    case kNkMAIDCommand_CapSet:
      return CapSet(it->second, *cap, dataType, data);
    case kNkMAIDCommand_CapStart:
      if (cap->id == kNkMAIDCapability_Capture && node.kind == Kind::Camera) return StartCapture(object, node, proc, ref);
      if (cap->id == kNkMAIDCapability_Acquire && node.kind == Kind::Data) return StartAcquire(object, node, proc, ref);
      if (proc) M().completions.push_back(CompletionOf(object, param, proc, ref, 0));
      return kNkMAIDResult_Pending;
    default:
      return kNkMAIDResult_NotSupported;
  }
}

const std::vector<File>& Files() { return M().files; }
std::map<ULONG, Camera>& Cameras() { return M().cameras; }
unsigned CallsAfterClose() { return M().callsAfterClose; }
std::size_t OpenRecords() { return M().open.size(); }
bool ModuleOpen() { return RecordOf(Kind::Module, 0) != nullptr; }

}  // namespace fuzzmodule
