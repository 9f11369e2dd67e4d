// The steps every session with the process starts and ends with: start it, find the cameras,
// connect one, change a setting, shut down. Built on CHostClient; used by lbhost.exe (whose
// tether steps do the shooting, live view and focus), the end-to-end tests and the benchmarks.
//
// Every wait has a deadline; a step that gets no answer in time fails with a message that says
// what did not arrive. Notifications that a step does not wait for stay with the client, for
// the caller to take (CHostClient::takeReceived).
//
// Threads: one owner thread, like CHostClient.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lbhost/client/host_client.h"
#include "lbhost/vocabulary/setting_match.h"

struct CameraInfo {
  std::uint32_t deviceId = 0;
  std::string name;
};

// One file the process downloaded, as its two notifications described it.
struct DownloadedFile {
  int captureId = 0;
  std::uint32_t deviceId = 0;   // "objectWasAdded" device_id; 0 when one camera is connected
  std::string fileName;         // "objectWasAdded" file_name
  std::string cameraFileName;   // "objectWasAdded" camera_file_name: the camera's own, or empty
  long long announcedSize = 0;  // "objectWasAdded" file_size
  bool hasSidecar = false;
  int rigShot = 0;        // "objectWasAdded" rig_shot: the rig shot it is of, or 0
  std::string path;       // "fileDownloadComplete" file_path (a Windows path)
  double downloadMs = 0;  // "fileDownloadComplete" file_download_time
};

class CHostSession {
 public:
  CHostSession() = default;

  // Starts the exe and connects both pipes. `environment` adds to or replaces variables of
  // the inherited environment (see CChildProcess::start).
  bool start(const std::string& exePath, unsigned timeoutMs, std::string* error,
             const std::vector<std::pair<std::string, std::string>>& environment = {});

  // "listDevices": every camera the process knows, in its order.
  bool listCameras(std::vector<CameraInfo>* cameras, std::string* error);
  // "connectDevice": makes deviceId the current camera and returns the settings table that
  // follows the connection. With `keepOthers`, the cameras connected so far stay connected.
  bool connect(std::uint32_t deviceId, std::unique_ptr<ZnLuaTE>* settings, std::string* error,
               bool keepOthers = false);
  // Makes a connected camera the one settings() and changeSetting() are about.
  void selectDevice(std::uint32_t deviceId) { m_deviceId = deviceId; }
  // "getCameraSettings" of the connected camera.
  bool settings(std::unique_ptr<ZnLuaTE>* table, std::string* error);
  // "updateCameraSetting": `setting` to the entry at `index` (0-based) of its entries list;
  // returns the settings table of the reply.
  bool changeSetting(const SettingName& setting, std::size_t index, std::unique_ptr<ZnLuaTE>* table,
                     std::string* error);
  // "shutdown", "shutdownComplete", and the process's exit code.
  bool shutdown(unsigned long* exitCode, std::string* error);

  std::uint32_t deviceId() const { return m_deviceId; }
  CHostClient& client() { return m_client; }

  unsigned timeoutMs = 10000;

 private:
  // Sends `name` and waits for its reply; an "error" reply fails.
  std::optional<HostMessage> ask(const char* name, const ZnLuaTETable& params, std::string* error);
  std::optional<HostMessage> waitReply(std::uint32_t requestId, const char* what,
                                       std::string* error);
  std::optional<HostMessage> waitName(const std::string& name, unsigned timeoutMs);

  CHostClient m_client;
  std::uint32_t m_deviceId = 0;
};
