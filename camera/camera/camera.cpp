// CCamera: creation, connection, the settings table, setting changes and SDK events.
#include "camera/camera/camera.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "camera/camera_host.h"
#include "camera/download/content_container.h"
#include "camera/modules/module_manager.h"
#include "camera/modules/nikon_module.h"
#include "camera/sdkobject/maid_names.h"
#include "camera/sdkobject/source_presence.h"
#include "platform/platform.h"
#include "platform/trace.h"
#include "values/lua_value.h"

namespace {

// How often, and how far apart, the destructor tries to switch live view off. The pauses are
// spent holding the SDK lock, which freezes every other camera and request: a camera still
// busy after a second of asking is let go with its live view on rather than freeze the
// process (it ends live view by itself after a while).
constexpr int kLiveViewOffAttempts = 5;
constexpr unsigned kLiveViewOffRetryDelayMs = 250;

bool IsModuleType(const std::string& moduleType, const char* name) {
  return moduleType == name;  // whole-string comparison
}

// A read that failed because the camera does not list the capability, lists it with a type or
// kind we cannot read, or has no current entry for it; not an error of the module.
bool IsMissingOrForeign(int result) {
  return result == kCapabilityNotFound || result == -1 || result == kCurrentEntryMissing;
}

}  // namespace

std::uint32_t LiveViewHeaderSize(std::uint32_t cameraType, const std::string& moduleType) {
  if (IsModuleType(moduleType, "Type0001")) return cameraType == 43 ? 128 : 64;
  if (IsModuleType(moduleType, "Type0003")) return 128;
  for (const char* big : {"Type0023", "Type0024", "Type0025", "Type0028", "Type0029"}) {
    if (IsModuleType(moduleType, big)) return 512;
  }
  return 384;
}

CCamera::CCamera(CNikonModule* module, maid::ULONG id) : CNikonObject(module, id) {}

bool CCamera::isAlive() {
  // A busy answer is not a goodbye: dropping the camera for it would end the host's
  // connection to a camera that is still there. The module's children say the rest.
  return isOpen() && !SaysItIsGone(*this);
}

CNikonModule* CCamera::module() const { return dynamic_cast<CNikonModule*>(parent()); }

std::uint32_t CCamera::deviceId() const {
  const CNikonModule* owner = module();
  return owner ? owner->deviceIdOf(this) : m_cameraId;
}

void CCamera::initialize(maid::ULONG id, CNikonModule* module) {
  m_cameraId = id;
  m_liveViewHeaderSize = 0;

  int result = getStringValue(kNkMAIDCapability_Name, m_name);
  if (result != 0) throw result;

  // The exposure mode and automatic ISO only decide which settings the host may change. A
  // camera that lacks them, or gives them a type of its own, is still a camera: it is shown
  // with the plain defaults. A module's error is another matter: the camera is tried again.
  maid::ULONG exposureMode = 0;
  std::vector<maid::ULONG> modes;
  result = getUnsignedEnumValue(kNkMAIDCapability_ExposureMode, exposureMode, modes);
  if (result != 0 && !IsMissingOrForeign(result)) throw result;
  m_exposureMode = result == 0 ? exposureMode : 0;

  bool isoControl = false;
  result = getBoolValue(kNkMAIDCapability_IsoControl, isoControl);
  if (result != 0 && !IsMissingOrForeign(result)) throw result;
  m_isoControl = result == 0 && isoControl;

  // The header size is a convenience of live view; a camera without a readable type simply
  // has none.
  if (hasCapability(kNkMAIDCapability_CameraType)) {
    maid::ULONG cameraType = 0;
    if (capGet(kNkMAIDCapability_CameraType, kNkMAIDDataType_UnsignedPtr, &cameraType) == 0) {
      std::string moduleName;
      if (module && module->getStringValue(kNkMAIDCapability_Name, moduleName) == 0) {
        const std::size_t space = moduleName.find(' ');
        m_moduleType = space == std::string::npos ? moduleName : moduleName.substr(0, space);
        m_liveViewHeaderSize = LiveViewHeaderSize(cameraType, m_moduleType);
      }
    }
  }
}

int CCamera::connect() {
  if (m_lifetime == CameraLifetime::Gone) return -1;
  logCapabilities();
  // Events count from here: a shot announced while the camera is being set up is not lost.
  m_eventTarget = this;
  int result = isOpen() ? 0 : -1;
  if (result == 0 && hasCapability(kNkMAIDCapability_SaveMedia)) {
    maid::ULONG saveMedia = 0;
    result = capGet(kNkMAIDCapability_SaveMedia, kNkMAIDDataType_UnsignedPtr, &saveMedia);
    // Captures must come to the computer, or no download would ever start.
    if (result == 0 && saveMedia == 0)
      result = setCapabilityValue(kNkMAIDCapability_SaveMedia, kNkMAIDDataType_Unsigned, 1);
  }
  if (result != 0) {
    m_eventTarget = nullptr;
    return result;
  }
  m_lifetime = CameraLifetime::Connected;
  return 0;
}

void CCamera::disconnect() {
  if (m_lifetime != CameraLifetime::Connected) return;
  m_lifetime = CameraLifetime::Known;
  m_eventTarget = nullptr;
}

void CCamera::markGone() {
  m_lifetime = CameraLifetime::Gone;
  m_eventTarget = nullptr;
}

void CCamera::addSettingEntry(ZnLuaTETable& table, std::string entriesKey, std::string key,
                              maid::ULONG capId) {
  if (entriesKey.empty()) {
    int error = 0;
    int unhandled = 0;
    // A value that cannot be read comes back null, which the table stores as nil.
    table.set(key, getCapabilityValue(capId, error, unhandled));
    return;
  }
  std::string current;
  std::vector<std::string> entries;
  // Without a current entry the setting is shown empty, with the entries still to choose from.
  const int result = getStringEnumValue(capId, current, entries);
  if (result != 0 && result != kCurrentEntryMissing) return;
  auto list = std::make_unique<ZnLuaTETable>();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    list->setValue(std::make_unique<ZnLuaTENumber>(static_cast<double>(i)),
                   std::make_unique<ZnLuaTEString>(entries[i]));
  }
  table.setString(key, current);
  table.set(entriesKey, std::move(list));
}

std::unique_ptr<ZnLuaTETable> CCamera::makeSettingsTable() {
  auto settings = std::make_unique<ZnLuaTETable>();
  ZnLuaTETable& table = *settings;

  bool manualFocus = false;
  if (isOpen() && hasCapability(kNkMAIDCapability_FocusMode)) {
    maid::ULONG focusMode = 1;
    manualFocus =
        capGet(kNkMAIDCapability_FocusMode, kNkMAIDDataType_UnsignedPtr, &focusMode) == 0 &&
        focusMode == 0;
  }
  table.setString("focusMode", manualFocus ? "manualFocusMode" : "autoFocusMode");
  table.setString("AFButtonPressed", m_autoFocusOn ? "On" : "Off");

  // The exposure mode decides which of the three the photographer may change from the host:
  // the others come as plain values.
  switch (m_exposureMode) {
    case 1:
      addSettingEntry(table, "apertureEntries", "aperture", kNkMAIDCapability_Aperture);
      addSettingEntry(table, "", "shutter", kNkMAIDCapability_ShutterSpeed);
      addSettingEntry(table, "wbEntries", "whiteBalance", kNkMAIDCapability_WBMode);
      break;
    case 2:
      addSettingEntry(table, "", "aperture", kNkMAIDCapability_Aperture);
      addSettingEntry(table, "shutterEntries", "shutter", kNkMAIDCapability_ShutterSpeed);
      addSettingEntry(table, "wbEntries", "whiteBalance", kNkMAIDCapability_WBMode);
      break;
    case 3:
      addSettingEntry(table, "apertureEntries", "aperture", kNkMAIDCapability_Aperture);
      addSettingEntry(table, "shutterEntries", "shutter", kNkMAIDCapability_ShutterSpeed);
      addSettingEntry(table, "wbEntries", "whiteBalance", kNkMAIDCapability_WBMode);
      break;
    default:
      addSettingEntry(table, "", "whiteBalance", kNkMAIDCapability_WBMode);
      addSettingEntry(table, "", "aperture", kNkMAIDCapability_Aperture);
      addSettingEntry(table, "", "shutter", kNkMAIDCapability_ShutterSpeed);
      break;
  }

  if (!m_isoControl) {
    addSettingEntry(table, "isoEntries", "isoSpeed", kNkMAIDCapability_Sensitivity);
  } else {
    const maid::ULONG isoCap = hasCapability(kNkMAIDCapability_AutoIsoSensitivity)
                                   ? kNkMAIDCapability_AutoIsoSensitivity
                                   : kNkMAIDCapability_Sensitivity;
    addSettingEntry(table, "", "isoSpeed", isoCap);
  }
  return settings;
}

void CCamera::updateCameraSetting(const ZnLuaTE* params, std::string key) {
  std::string name = key;
  if (params) {
    const auto* table = dynamic_cast<const ZnLuaTETable*>(params);
    if (!table) return;
    const auto* paramKey = dynamic_cast<const ZnLuaTEString*>(table->getValue("param_key"));
    if (!paramKey) return;
    name = paramKey->getString();
  }
  maid::ULONG capId = 0;
  if (name == "isoSpeedValue") {
    capId = kNkMAIDCapability_Sensitivity;
  } else if (name == "shutterValue") {
    capId = kNkMAIDCapability_ShutterSpeed;
  } else if (name == "apertureValue") {
    capId = kNkMAIDCapability_Aperture;
  } else if (name == "wbValue") {
    capId = kNkMAIDCapability_WBMode;
  } else {
    return;
  }
  setEnumSetting(capId, params);
}

int CCamera::setEnumSetting(maid::ULONG capId, const ZnLuaTE* params) {
  const auto* table = dynamic_cast<const ZnLuaTETable*>(params);
  if (!table) return -123;
  const maid::MaidCapInfo* info = capabilityInfo(capId);
  if (!info) return 0;
  if (info->ulType != kNkMAIDCapType_Enum) {
    Trace("enum type was %d", static_cast<int>(info->ulType));
    return 0;
  }
  const auto* number = dynamic_cast<const ZnLuaTENumber*>(table->getValue("param_value"));
  if (!number) return 0;
  // The host sends the 0-based key of an entry. Anything that is not a finite value in the
  // 32-bit range cannot be converted safely, and a negative key names no entry: both are
  // ignored rather than handed to the camera as a huge index.
  const double value = std::trunc(number->getNumber());
  if (!std::isfinite(value) || value < 0.0 || value > 2147483647.0) {
    Trace("Ignored entry index for capability %d", static_cast<int>(capId));
    return 0;
  }
  maid::MaidEnum choice;
  std::memset(&choice, 0, sizeof choice);
  choice.ulValue = static_cast<maid::ULONG>(value);
  const int result =
      setCapabilityValue(capId, kNkMAIDDataType_EnumPtr, reinterpret_cast<maid::NKPARAM>(&choice));
  if (result != 0) {
    Trace("Error happened while setting capability : %d", static_cast<int>(capId));
    Trace("Error code while settings capability is %d", result);
  }
  return result;
}

void CCamera::onCompletion(maid::ULONG command, maid::NKERROR result, maid::NKPARAM context) {
  Trace("CCamera completion callback for command %s", CommandName(command));
  // Releases have receivers of their own (CPendingRelease); nothing else completes here.
}

maid::NKERROR CCamera::onData(void* dataInfo, void* data) { return 0; }

void CCamera::onEvent(maid::ULONG event, maid::NKPARAM data) {
  g_sdkLock.assertHeld();  // the SDK calls back inside our own call
  Trace("Camera event notification: %s", EventName(event));
  if (event == kNkMAIDEvent_AddChild) {
    // This runs inside the module's event procedure: an exception must never travel out
    // through the module's own frames. A capture item that cannot be opened is a picture
    // the host never gets to hear of, so it is told here.
    ++m_itemsAnnounced;
    const unsigned itemId = static_cast<unsigned>(data);
    try {
      onItemAdded(itemId);
    } catch (int result) {
      Trace("New capture item %u could not be opened: %d", itemId, result);
      m_shots.itemRefused();
      reportLostShot(result, std::string("New picture: the camera refused to open it (") +
                                 ResultName(result) + ")");
    } catch (...) {
      Trace("New capture item %u could not be handled", itemId);
      m_shots.itemRefused();
      reportLostShot(kNkMAIDResult_OutOfMemory,
                     "New picture: no memory to take it from the camera");
    }
    return;
  }
  if (event != kNkMAIDEvent_CapChangeValueOnly) return;

  const maid::ULONG cap = static_cast<maid::ULONG>(data & 0xFFFF);
  switch (cap) {
    case kNkMAIDCapability_WBMode:
    case kNkMAIDCapability_ShutterSpeed:
    case kNkMAIDCapability_Aperture:
    case kNkMAIDCapability_Sensitivity:
    case kNkMAIDCapability_AutoIsoSensitivity:
      break;
    case kNkMAIDCapability_ExposureMode: {
      maid::ULONG mode = 0;
      std::vector<maid::ULONG> modes;
      const int result = getUnsignedEnumValue(kNkMAIDCapability_ExposureMode, mode, modes);
      if (result == kCurrentEntryMissing)
        mode = 0;  // unknown: every setting a plain value
      else if (result != 0) {
        Trace("CCamera get exosure mode failed with err: ");
        return;
      }
      m_exposureMode = mode;
      break;
    }
    case kNkMAIDCapability_IsoControl: {
      bool isoControl = false;
      if (getBoolValue(kNkMAIDCapability_IsoControl, isoControl) != 0) {
        Trace("CCamera get iso control failed with err: ");
        return;
      }
      m_isoControl = isoControl;
      break;
    }
    default:
      Trace("Ignored camera settings event notification for : %s", CapabilityName(cap));
      return;
  }
  CNikonModule* owner = module();
  if (owner && owner->m_currentCamera != this) {
    // A camera of a rig other than its module's current one reports its own settings.
    m_ownSettings.markPending();
    sendOwnSettingsWhenDue();
    return;
  }
  if (owner) owner->sendCameraSettingsSoon();
}

void CCamera::sendOwnSettingsWhenDue() {
  if (!m_ownSettings.pending() || !m_ownSettings.allowsReport()) return;
  const CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  if (!manager || manager->connectedCamera(deviceId()) != this) {
    m_ownSettings.dropPending();  // not the host's camera: nobody asked for its settings
    return;
  }
  m_ownSettings.reportBegins();
  const std::unique_ptr<ZnLuaTETable> settings = makeSettingsTable();
  m_ownSettings.reportBuilt();
  CameraHost().settingsChanged(deviceId(), *settings);
}

CCamera::~CCamera() {
  g_sdkLock.assertHeld();  // cameras are destroyed by their module, under the SDK lock
  // What is under way ends first, while the camera it reports through is still whole.
  endReleases(m_lifetime == CameraLifetime::Gone ? ReleaseEnd::CameraGone : ReleaseEnd::Abandoned,
              "lensbridge let go of the camera before it completed it");
  dropDownloads();
  // Live view left on would keep the mirror up and the sensor hot after we let go of the
  // camera, so it is switched off before the object is closed. A camera that is gone cannot
  // answer: asking it would only hold the SDK lock through every retry's pause.
  if (m_lifetime == CameraLifetime::Gone) return;
  for (int attempt = 0; attempt < kLiveViewOffAttempts; ++attempt) {
    if (!isOpen() || !hasCapability(kNkMAIDCapability_LiveViewStatus)) continue;
    const maid::MaidCapInfo* info = capabilityInfo(kNkMAIDCapability_LiveViewStatus);
    if (info &&
        (info->ulType == kNkMAIDCapType_Integer || info->ulType == kNkMAIDCapType_Unsigned)) {
      maid::ULONG status = 1;
      if (capGet(kNkMAIDCapability_LiveViewStatus, info->ulType + 3, &status) != 0) continue;
      if (status == 0) break;
    }
    if (setCapabilityValue(kNkMAIDCapability_LiveViewStatus, kNkMAIDDataType_Unsigned, 0) == 0)
      break;
    // Waiting after the last refusal would only delay the close.
    if (attempt + 1 < kLiveViewOffAttempts) platform::sleepMs(kLiveViewOffRetryDelayMs);
  }
}
