// The host's tether session over CHostClient.
#include "lbhost/client/host_session.h"

#include "values/lua_value.h"
#include "platform/platform.h"
#include "lbhost/vocabulary/camera_words.h"
#include "lbhost/vocabulary/payload_reader.h"

namespace {

// The text of an "error" reply, for messages to the user.
std::string DescribeError(const HostMessage& reply) {
  std::string text =
      "the process answered error " + std::to_string(static_cast<long long>(
                                          NumberAt(reply.payload.get(), "error_code").value_or(0)));
  const std::string description = TextAt(reply.payload.get(), "error_description");
  if (!description.empty()) text += " (" + InCameraWords(description) + ")";
  return text;
}

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

}  // namespace

bool CHostSession::start(const std::string& exePath, unsigned connectTimeoutMs, std::string* error,
                         const std::vector<std::pair<std::string, std::string>>& environment) {
  return m_client.start(exePath, error, {}, environment) &&
         m_client.connect(connectTimeoutMs, error);
}

std::optional<HostMessage> CHostSession::waitReply(std::uint32_t requestId, const char* what,
                                                   std::string* error) {
  if (requestId == 0) {
    Fail(error, std::string("could not send \"") + what + "\": the input pipe is closed");
    return std::nullopt;
  }
  auto reply = m_client.waitForReply(requestId, timeoutMs);
  if (!reply) {
    Fail(error, std::string("no reply to \"") + what + "\" within " + std::to_string(timeoutMs) +
                    " ms" + (m_client.outputBroken() ? " (the process closed its pipe)" : ""));
  }
  return reply;
}

std::optional<HostMessage> CHostSession::waitName(const std::string& name, unsigned waitMs) {
  return m_client.waitForName(name, waitMs);
}

bool CHostSession::listCameras(std::vector<CameraInfo>* cameras, std::string* error) {
  const std::uint32_t id = m_client.send("listDevices");
  auto reply = waitReply(id, "listDevices", error);
  if (!reply) return false;
  const ZnLuaTETable* devices = AsTable(reply->payload.get());
  devices = devices ? devices->getTable("devices") : nullptr;
  cameras->clear();
  if (!devices) return true;
  for (const auto& entry : *devices) {
    CameraInfo camera;
    camera.deviceId = static_cast<std::uint32_t>(NumberAt(entry.second, "device_id").value_or(0));
    camera.name = TextAt(entry.second, "name");
    cameras->push_back(camera);
  }
  return true;
}

std::optional<HostMessage> CHostSession::ask(const char* name, const ZnLuaTETable& params,
                                             std::string* error) {
  auto reply = waitReply(m_client.send(name, &params), name, error);
  if (!reply || reply->nameText() != "error") return reply;
  Fail(error, DescribeError(*reply));
  return std::nullopt;
}

bool CHostSession::connect(std::uint32_t deviceId, std::unique_ptr<ZnLuaTE>* settings,
                           std::string* error, bool keepOthers) {
  ZnLuaTETable params;
  params.setNumber("device_id", deviceId);
  if (keepOthers) params.setNumber("keep_connected", 1);
  if (!ask("connectDevice", params, error)) return false;
  m_deviceId = deviceId;
  // With several cameras connected, each one's settings carry its device id.
  auto changed = m_client.waitFor(
      [deviceId](const HostMessage& m) {
        return m.requestId == 0 && m.nameText() == "cameraSettingsChanged" &&
               NumberAt(m.payload.get(), "device_id").value_or(deviceId) == deviceId;
      },
      timeoutMs);
  if (!changed) return Fail(error, "connected, but the camera's settings did not arrive");
  if (settings) *settings = std::move(changed->payload);
  return true;
}

bool CHostSession::settings(std::unique_ptr<ZnLuaTE>* table, std::string* error) {
  ZnLuaTETable params;
  params.setNumber("device_id", m_deviceId);
  auto reply = ask("getCameraSettings", params, error);
  if (!reply) return false;
  *table = std::move(reply->payload);
  return true;
}

bool CHostSession::changeSetting(const SettingName& setting, std::size_t index,
                                 std::unique_ptr<ZnLuaTE>* table, std::string* error) {
  ZnLuaTETable params;
  params.setNumber("device_id", m_deviceId);
  params.setString("param_key", setting.paramKey);
  params.setNumber("param_value", static_cast<double>(index));
  auto reply = ask("updateCameraSetting", params, error);
  if (!reply) return false;
  *table = std::move(reply->payload);
  return true;
}

bool CHostSession::shutdown(unsigned long* exitCode, std::string* error) {
  const std::uint32_t id = m_client.send("shutdown");
  auto reply = waitReply(id, "shutdown", error);
  if (!reply) return false;
  if (reply->nameText() != "shutdownComplete") {
    return Fail(error, "\"shutdown\" was answered with \"" + reply->nameText() + "\"");
  }
  auto code = m_client.process().waitForExit(timeoutMs);
  if (!code) return Fail(error, "the process did not end after \"shutdownComplete\"");
  if (exitCode) *exitCode = *code;
  return true;
}
