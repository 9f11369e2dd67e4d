#include "sim/sim_capabilities.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/sim_capture.h"
#include "sim/sim_liveview.h"

namespace lbsim {

namespace {

constexpr unsigned kLiveViewBusyReads = 3;

struct Capability {
  ULONG id;
  ULONG type;
  ULONG operations;
};

// Enumerations, with the element kinds the cameras really use for them.
const std::vector<std::string> kShutterSpeeds = {
    "30\"", "4\"", "1\"", "1/4", "1/15", "1/60", "1/125", "1/250", "1/500", "1/1000", "1/4000"};
const std::vector<std::string> kApertures = {"f/1.8", "f/2.8", "f/4",  "f/5.6",
                                             "f/8",   "f/11",  "f/16", "f/22"};
const std::vector<std::string> kWhiteBalances = {"Auto",         "Daylight",    "Cloudy", "Shade",
                                                 "Incandescent", "Fluorescent", "Flash"};
const std::vector<std::string> kIsoSpeeds = {"64",   "100",  "200",  "400",  "800",
                                             "1600", "3200", "6400", "12800"};
const std::vector<std::string> kAutoIsoLimits = {"ISO 800", "ISO 1600", "ISO 3200", "ISO 6400"};
const std::vector<ULONG> kExposureModes = {0, 1, 2, 3};

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
  for (const std::string& v : values)
    e.bytes.insert(e.bytes.end(), v.c_str(), v.c_str() + v.size() + 1);
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
        if (entry.second.plugged && !sim.faults.notAlive.count(entry.first))
          ids.push_back(entry.first);
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

}  // namespace

// A lens move, for a test in another process: "<camera id> <position> <shots taken so far>"
// appended to the file named by LBSIM_LENS_LOG, when it is set.
static void LogLensMove(ULONG cameraId, const Camera& camera) {
  const char* path = std::getenv("LBSIM_LENS_LOG");
  if (!path || !*path) return;
  if (std::FILE* log = std::fopen(path, "ab")) {
    std::fprintf(log, "%lu %.0f %u\n", static_cast<unsigned long>(cameraId), camera.focus,
                 static_cast<unsigned>(camera.captures));
    std::fclose(log);
  }
}

std::string ItemName(const Item& item) {
  char name[32];
  std::snprintf(name, sizeof name, "DSC_%04u.%s", static_cast<unsigned>(item.captureNumber % 10000),
                item.raw ? "NEF" : "JPG");
  return name;
}

bool TurnDial(Camera& camera, ULONG cameraId, const std::string& setting, ULONG index) {
  static const struct {
    const char* name;
    ULONG capId;
  } kDials[] = {{"aperture", kNkMAIDCapability_Aperture},
                {"shutter", kNkMAIDCapability_ShutterSpeed},
                {"iso", kNkMAIDCapability_Sensitivity},
                {"wb", kNkMAIDCapability_WBMode}};
  for (const auto& dial : kDials) {
    if (setting != dial.name) continue;
    ULONG count = 0;
    ULONG* current = EnumIndexOf(camera, dial.capId, count);
    if (!current || index >= count) return false;
    *current = index;
    QueueSettingChange(cameraId, dial.capId);
    return true;
  }
  return false;
}

ULONG CapCount(Kind kind) { return static_cast<ULONG>(CapabilitiesOf(kind).size()); }

NKERROR CapInfo(Kind kind, ULONG room, NKPARAM data) {
  const std::vector<Capability>& caps = CapabilitiesOf(kind);
  if (!data || room < caps.size()) return kNkMAIDResult_BufferSize;
  auto* info = reinterpret_cast<sdk::MaidCapInfo*>(data);
  for (const Capability& cap : caps) {
    *info = sdk::MaidCapInfo{};
    info->ulID = cap.id;
    info->ulType = cap.type;
    info->ulOperations = cap.operations;
    ++info;
  }
  return kNkMAIDResult_NoError;
}

namespace {
// The declaration of capability `capId` on objects of `kind`, or null when they do not list it.
const Capability* Declared(Kind kind, ULONG capId) {
  for (const Capability& cap : CapabilitiesOf(kind))
    if (cap.id == capId) return &cap;
  return nullptr;
}
}  // namespace

bool Lists(Kind kind, ULONG capId) { return Declared(kind, capId) != nullptr; }

NKERROR CapGet(Node& node, ULONG capId, ULONG dataType, NKPARAM data) {
  Simulator& sim = Sim();
  if (!data) return kNkMAIDResult_UnexpectedDataType;
  Camera* camera = FindCamera(node.cameraId);
  EnumData e;
  if (dataType == kNkMAIDDataType_EnumPtr) {
    if (!EnumOf(node, capId, e)) return kNkMAIDResult_UnexpectedDataType;
    auto* out = reinterpret_cast<sdk::MaidEnum*>(data);
    out->ulType = e.kind;
    out->ulElements = e.count;
    out->ulValue = e.current;
    // enum-out-of-range: the current index is the element count, one past the last element.
    if (capId != kNkMAIDCapability_Children && camera && camera->has(Habit::EnumOutOfRange))
      out->ulValue = e.count;
    out->ulDefault = 0;
    out->wPhysicalBytes = e.elementSize;
    return kNkMAIDResult_NoError;
  }
  // A number is read through the pointer type of its declared kind, integer or unsigned, as
  // real modules insist: the other one is an unexpected data type.
  auto putUnsigned = [&](ULONG value) {
    const Capability* cap = Declared(node.kind, capId);
    const ULONG expected = cap && cap->type == kNkMAIDCapType_Integer ? kNkMAIDDataType_IntegerPtr
                                                                      : kNkMAIDDataType_UnsignedPtr;
    if (dataType != expected) return kNkMAIDResult_UnexpectedDataType;
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
        return putBool(camera->plugged && !sim.faults.notAlive.count(node.cameraId) &&
                       !camera->has(Habit::AliveFalse));
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
        if (camera->liveViewBusyReads > 0) {
          --camera->liveViewBusyReads;
          return kNkMAIDResult_DeviceBusy;
        }
        return putUnsigned(camera->liveView);
      case kNkMAIDCapability_ContrastAF:
        return putUnsigned(camera->contrastAf);
      case kNkMAIDCapability_SaveMedia:
        return putUnsigned(camera->saveMedia);
      case kNkMAIDCapability_MFDriveStep: {
        if (dataType != kNkMAIDDataType_RangePtr) return kNkMAIDResult_UnexpectedDataType;
        auto* range = reinterpret_cast<sdk::MaidRange*>(data);
        *range = sdk::MaidRange{};
        range->lfValue = camera->focusStep;
        range->lfDefault = 500.0;
        range->lfLower = 1.0;
        range->lfUpper = 32767.0;
        return kNkMAIDResult_NoError;
      }
      case kNkMAIDCapability_GetLiveViewImage:
        return GetLiveViewImage(*camera, dataType, data);
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
    if (!camera || node.kind != Kind::Camera) return kNkMAIDResult_NotSupported;
    return CopyLiveViewImage(*camera, data);
  }
  EnumData e;
  if (!EnumOf(node, capId, e)) return kNkMAIDResult_NotSupported;
  auto* out = reinterpret_cast<sdk::MaidEnum*>(data);
  if (!out->pData) return kNkMAIDResult_UnexpectedDataType;
  if (!e.bytes.empty()) std::memcpy(out->pData, e.bytes.data(), e.bytes.size());
  return kNkMAIDResult_NoError;
}

NKERROR CapSet(Node& node, ULONG capId, ULONG dataType, NKPARAM data) {
  if (capId == kNkMAIDCapability_EventProc || capId == kNkMAIDCapability_DataProc) {
    sdk::MaidCallback callback{};
    if (dataType == kNkMAIDDataType_CallbackPtr && data)
      callback = *reinterpret_cast<sdk::MaidCallback*>(data);
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
    const ULONG chosen = reinterpret_cast<sdk::MaidEnum*>(data)->ulValue;
    if (chosen >= count) return kNkMAIDResult_ValueOutOfBounds;
    if (camera->has(Habit::RefusedSet)) return kNkMAIDResult_DeviceBusy;
    *index = chosen;
    QueueSettingChange(node.cameraId, capId);
    return kNkMAIDResult_NoError;
  }
  switch (capId) {
    case kNkMAIDCapability_MFDriveStep:
      if (dataType != kNkMAIDDataType_RangePtr || !data) return kNkMAIDResult_UnexpectedDataType;
      camera->focusStep = reinterpret_cast<sdk::MaidRange*>(data)->lfValue;
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
      QueueSettingChange(node.cameraId, capId);
      return kNkMAIDResult_NoError;
    case kNkMAIDCapability_SaveMedia:
      // camera-button: once its pictures go to the computer, the camera takes one shot with
      // its own button, as a photographer at the camera would.
      if (value == 1 && camera->saveMedia != 1 && camera->has(Habit::CameraButton))
        ShootByButton(node.cameraId);
      camera->saveMedia = value;
      return kNkMAIDResult_NoError;
    case kNkMAIDCapability_LiveViewStatus:
      if (value != 0 && value != LiveViewOnValue()) return kNkMAIDResult_ValueOutOfBounds;
      // A camera already in live view will not start it again until it is switched off.
      if (value != 0 && camera->liveView != 0) return kNkMAIDResult_DeviceBusy;
      // Nor will it switch off a live view that has already ended.
      if (value == 0 && camera->liveView == 0) return kNkMAIDResult_NotLiveView;
      // lv-busy: a camera switching live view on answers busy to the next few reads.
      if (value != 0 && camera->liveView == 0 && camera->has(Habit::LvBusy))
        camera->liveViewBusyReads = kLiveViewBusyReads;
      // lv-off-busy: still busy with a frame, it refuses the first switch-off.
      if (value == 0 && camera->has(Habit::LvOffBusy) && !camera->liveViewOffRefused) {
        camera->liveViewOffRefused = true;
        return kNkMAIDResult_DeviceBusy;
      }
      if (value != 0) camera->liveViewOffRefused = false;
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
      LogLensMove(node.cameraId, *camera);
      return kNkMAIDResult_NoError;
    default:
      return kNkMAIDResult_NotSupported;
  }
}

}  // namespace lbsim
