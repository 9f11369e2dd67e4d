// The rules every stream of messages from the process keeps, however it is read: the camera
// module fuzzer takes them from the process's queue, the chaos run from its pipe. Each message
// is seen once, in the order the process sent it; a broken rule goes to the reader's `broke`
// with the rule and what broke it. No test framework needed. (The captures' rules are
// tests/capture_ledger.h's.)
//   - a reply goes to a request that was sent, once, in the order the requests were sent, and
//     is "ok", "error" or "shutdownComplete";
//   - "deviceAdded" and "deviceRemoved" alternate per device, starting with "deviceAdded";
//     once the cameras are left alone, they leave present the ones plugged in.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "tests/payload_fields.h"

// "{257, 258}"
inline std::string IdList(const std::set<std::uint32_t>& ids) {
  std::string text = "{";
  for (std::uint32_t id : ids) text += (text.size() > 1 ? ", " : "") + std::to_string(id);
  return text + "}";
}

class CHostRules {
 public:
  using Broke = std::function<void(const char* rule, const std::string& detail)>;
  explicit CHostRules(Broke broke) : m_broke(std::move(broke)) {}

  // A request as sent; `required`: the process answers it whatever the cameras do.
  void sent(std::uint32_t requestId, const std::string& name, bool required) {
    m_requests[requestId] = {name, required};
  }

  void see(std::uint32_t requestId, const std::string& name, const ZnLuaTE* payload) {
    if (requestId != 0) return reply(requestId, name);
    if (name != "deviceAdded" && name != "deviceRemoved") return;
    const auto device = static_cast<std::uint32_t>(Number(payload, "device_id"));
    const bool added = name == "deviceAdded";
    if (added ? !m_present.insert(device).second : m_present.erase(device) == 0)
      m_broke("deviceAdded and deviceRemoved do not alternate",
              name + " out of turn for device " + std::to_string(device));
  }

  // Every required request has its answer: all of them once the stream is `complete`, else
  // those sent before the last one answered (one sent later may be cut off by the end of the
  // session, as when the host leaves).
  void checkRequiredAnswers(bool complete) const {
    for (const auto& [id, request] : m_requests)
      if (request.second && (complete || id < m_lastAnswered) && !m_answered.count(id))
        m_broke("a request that is always answered was not",
                "#" + std::to_string(id) + " " + request.first);
  }
  bool answered(std::uint32_t requestId) const { return m_answered.count(requestId) != 0; }
  // Once calm: the devices the announcements leave present are the ones plugged in.
  void checkDevices(const std::set<std::uint32_t>& plugged) const {
    if (m_present != plugged)
      m_broke("the devices announced are not the ones plugged in once calm",
              "announced " + IdList(m_present) + ", plugged in " + IdList(plugged));
  }

 protected:
  Broke m_broke;

 private:
  void reply(std::uint32_t requestId, const std::string& name) {
    const auto request = m_requests.find(requestId);
    const std::string id = "#" + std::to_string(requestId);
    if (request == m_requests.end())
      return m_broke("a reply to a request never sent", id + " " + name);
    const std::string what = id + " " + request->second.first + " got " + name;
    if (!m_answered.insert(requestId).second) m_broke("a request answered twice", what);
    if (requestId < m_lastAnswered)
      m_broke("a reply came after the reply to a later request", what);
    if (name != "ok" && name != "error" && name != "shutdownComplete")
      m_broke("a reply of no known name", what);
    if (requestId > m_lastAnswered) m_lastAnswered = requestId;
  }

  std::map<std::uint32_t, std::pair<std::string, bool>> m_requests;  // name, required
  std::set<std::uint32_t> m_answered;
  std::uint32_t m_lastAnswered = 0;
  std::set<std::uint32_t> m_present;
};
