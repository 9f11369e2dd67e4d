#include "camera/modules/nikon_module.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera/camera.h"
#include "camera/camera_clock.h"
#include "camera/camera_host.h"
#include "camera/sdkobject/maid_names.h"
#include "platform/platform.h"
#include "platform/trace.h"
#include "values/lua_value.h"

CNikonModule::CNikonModule(maid::EntryPoint entryPoint, unsigned ordinal)
    : CNikonObject(entryPoint, nullptr, 0) {
  m_moduleIndex = static_cast<std::uint32_t>(ordinal) << 8;
  m_eventTarget = this;
}

CNikonModule::~CNikonModule() {
  m_eventTarget = nullptr;
  m_currentCamera = nullptr;
  m_removedCameras.clear();
  m_cameras.clear();
  // CNikonObject's destructor deletes and closes every camera as a child.
}

std::uint32_t CNikonModule::deviceIdOf(const CCamera* camera) const {
  return camera->m_cameraId | m_moduleIndex;
}

CCamera* CNikonModule::addCamera(maid::ULONG id) {
  Trace("addCamera(): id: %d", static_cast<int>(id));
  auto known = m_cameras.find(static_cast<std::int32_t>(id));
  if (known != m_cameras.end() && known->second) return known->second;

  // A camera id that does not fit the device id's 8 camera bits would be announced under the
  // id of another camera (or another module); such a camera is not taken on at all.
  if (id > kMaxCameraId) {
    Trace("addCamera(): camera id %u does not fit a device id, ignored", id);
    return nullptr;
  }

  std::unique_ptr<CCamera> camera;
  try {
    // The camera is ours only once it is ready: until then the unique_ptr closes one whose
    // initialize() fails, so a camera that keeps failing costs nothing but the retry.
    camera = std::make_unique<CCamera>(this, id);
    camera->initialize(id, this);
  } catch (int result) {
    Trace("Error caught while creating camera: %d", result);
    return nullptr;
  } catch (...) {
    Trace("Error caught while creating camera");
    return nullptr;
  }
  // A camera that says it is not alive is treated like one that cannot be initialised: the
  // rescan would take it out again at once, so announcing it would make it flap.
  if (!camera->isAlive()) {
    Trace("addCamera(): camera %u is listed but not alive, not taken on", id);
    camera->markGone();
    return nullptr;
  }
  CCamera* added = adoptChild(std::move(camera));
  m_cameras[static_cast<std::int32_t>(id)] = added;

  Trace("addCamera() - announcing the camera to the host: %s", added->m_name.c_str());
  CameraHost().deviceAdded(deviceIdOf(added), added->m_name);
  return added;
}

void CNikonModule::scanAndInformHostOfCameraChanges() {
  for (auto& entry : m_cameras) {
    if (entry.second) entry.second->m_present = false;
  }

  // A module whose list could not be read when it opened (a busy answer) would never show a
  // camera: each scan tries again until it has one.
  if (capabilityCount() == 0) loadCapabilityInfo();
  std::vector<maid::ULONG> ids;
  enumerateChildren(ids);  // a failed enumeration leaves the list empty

  std::vector<maid::ULONG> newIds;
  for (maid::ULONG id : ids) {
    auto known = m_cameras.find(static_cast<std::int32_t>(id));
    if (known != m_cameras.end() && known->second) {
      known->second->m_present = true;
    } else {
      newIds.push_back(id);
    }
  }
  const std::uint32_t now = CameraClockMs();
  for (auto it = m_refusedAtMs.begin(); it != m_refusedAtMs.end();) {
    const bool listed = std::find(newIds.begin(), newIds.end(), it->first) != newIds.end();
    it = listed ? std::next(it) : m_refusedAtMs.erase(it);
  }
  for (maid::ULONG id : newIds) {
    auto refused = m_refusedAtMs.find(id);
    if (refused != m_refusedAtMs.end() && now - refused->second < kCameraRetryMs) continue;
    CCamera* camera = addCamera(id);
    if (!camera) {
      m_refusedAtMs[id] = now;
      continue;
    }
    m_refusedAtMs.erase(id);
    Trace("CNikonModule::scanAndInformHostOfCameraChanges() - added camera: %s - device id: %d",
          camera->m_name.c_str(), static_cast<int>(id));
    camera->m_present = true;
  }

  for (auto it = m_cameras.begin(); it != m_cameras.end();) {
    CCamera* camera = it->second;
    if (!camera) {
      ++it;
      continue;
    }
    if (camera->m_present && camera->isAlive()) {
      ++it;
      continue;
    }
    if (camera == m_currentCamera) {
      m_currentCamera = nullptr;
      m_connectedCameraGone =
          camera->m_name + " (device " + std::to_string(deviceIdOf(camera)) + ")";
    }
    camera->markGone();
    Trace("CNikonModule::scanAndInformHostOfCameraChanges() - removed camera: %s - device id: %d",
          camera->m_name.c_str(), static_cast<int>(camera->m_cameraId));
    CameraHost().deviceRemoved(deviceIdOf(camera));
    m_removedCameras.push_back(camera);
    it = m_cameras.erase(it);
  }
}

void CNikonModule::deleteRemovedCameras() {
  // Taking the list first keeps it consistent even if a destructor's SDK calls deliver
  // events that reach this module again.
  std::list<CCamera*> doomed;
  doomed.swap(m_removedCameras);
  for (CCamera* camera : doomed) {
    if (camera == m_currentCamera) m_currentCamera = nullptr;
    destroyChild(camera);
  }
}

void CNikonModule::disconnectCamera() {
  if (m_currentCamera) m_currentCamera->disconnect();
  m_currentCamera = nullptr;
}

int CNikonModule::connectCamera(maid::ULONG cameraId, Others others) {
  auto found = m_cameras.find(static_cast<std::int32_t>(cameraId));
  if (found == m_cameras.end() || !found->second) {
    Trace("ERROR: camera id could not be found: %d", static_cast<int>(cameraId));
    return -1;
  }
  CCamera* before = m_currentCamera;
  if (others == Others::LetGo && m_currentCamera != found->second) disconnectCamera();
  m_currentCamera = found->second;
  m_connectedCameraGone.clear();
  const int result = m_currentCamera->connect();
  if (result != 0) {
    Trace("ERROR: camera->connect returned an error: %d", result);
    m_currentCamera = others == Others::LetGo ? nullptr : before;
    return result;
  }
  return 0;
}

unsigned CNikonModule::settingsSpacingLeftMs() { return m_settingsThrottle.spacingLeftMs(); }

void CNikonModule::sendCameraSettingsNow() {
  if (m_currentCamera) sendSettings();
}

void CNikonModule::sendCameraSettingsSoon() {
  if (!m_currentCamera) return;
  if (m_settingsThrottle.allowsReport()) {
    sendSettings();
  } else {
    m_settingsThrottle.markPending();
  }
}

void CNikonModule::sendPendingSettings() {
  if (!m_settingsThrottle.pending()) return;
  if (!m_currentCamera) {
    m_settingsThrottle.dropPending();
    return;
  }
  if (m_settingsThrottle.allowsReport()) sendSettings();
}

void CNikonModule::sendSettings() {
  // Changes that arrive while the table is read (inside its SDK calls) mark it again, so the
  // host always ends up with the latest values.
  m_settingsThrottle.reportBegins();
  const std::unique_ptr<ZnLuaTETable> settings = m_currentCamera->makeSettingsTable();
  m_settingsThrottle.reportBuilt();
  CameraHost().settingsChanged(deviceIdOf(m_currentCamera), *settings);
}

void CNikonModule::onEvent(maid::ULONG event, maid::NKPARAM data) {
  Trace("Service event notification: %s", EventName(event));
}
