#include "lbhost/serve/serve_hub.h"

#include <cctype>
#include <utility>

#include "lbhost/vocabulary/valid_utf8.h"

bool IsJpegName(const std::string& name) {
  const std::size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return false;
  std::string extension = name.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == "jpg" || extension == "jpeg";
}

CServeHub::CServeHub(std::function<void()> wake) : m_wake(std::move(wake)) {}

void CServeHub::wake() {
  if (m_wake) m_wake();
}

void CServeHub::append(const std::string& name, const nlohmann::json& data) {
  m_events.push_back(ServerSentEvent(name, data));
  if (m_events.size() > kEventsKept) m_events.pop_front();
  ++m_nextEvent;
}

void CServeHub::publish(const std::string& kind, const nlohmann::json& data) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state[kind] = data;
    append(kind, data);
  }
  wake();
}

void CServeHub::notice(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    append("notice", {{"text", ValidUtf8(text)}});
  }
  wake();
}

void CServeHub::setFrame(std::string jpeg, std::uint32_t device) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    CameraFrame& frame = m_frames[device];
    frame.jpeg = std::make_shared<const std::string>(std::move(jpeg));
    frame.number = ++m_frameNumber;
  }
  wake();
}

nlohmann::json CServeHub::pictureJson(int id, const Picture& picture) const {
  nlohmann::json json = picture.labels;
  json.update(nlohmann::json{{"id", id},
                             {"name", ValidUtf8(picture.name)},
                             {"size", picture.size},
                             {"state", picture.state}});
  if (!picture.error.empty()) json["error"] = ValidUtf8(picture.error);
  if (picture.state == "complete" && IsJpegName(picture.path))
    json["url"] = "picture/" + std::to_string(id);
  return json;
}

int CServeHub::addPicture(int captureId, const std::string& name, long long size,
                          const nlohmann::json& labels) {
  int id = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    id = m_pictures.empty() ? 1 : m_pictures.rbegin()->first + 1;
    Picture& picture = m_pictures[id];
    picture.captureId = captureId;
    picture.name = name;
    picture.size = size;
    picture.state = "downloading";
    picture.labels = labels;
    append("picture", pictureJson(id, picture));
  }
  wake();
  return id;
}

int CServeHub::pendingPicture(int captureId, const std::string& name) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& [id, picture] : m_pictures) {
    if (picture.captureId == captureId && picture.name == name && picture.state != "complete" &&
        picture.state != "error") {
      return id;
    }
  }
  return 0;
}

void CServeHub::updatePicture(int id, const std::string& state, const std::string& path,
                              const std::string& error) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_pictures.find(id);
    if (it == m_pictures.end()) return;
    it->second.state = state;
    if (!path.empty()) {
      // The page names the picture as it is saved, which --filename may have chosen.
      it->second.path = path;
      it->second.name = path.substr(path.find_last_of("\\/") + 1);
    }
    it->second.error = error;
    append("picture", pictureJson(id, it->second));
  }
  wake();
}

void CServeHub::failPending(const std::string& error) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& [id, picture] : m_pictures) {
      if (picture.state == "complete" || picture.state == "error") continue;
      picture.state = "error";
      picture.error = error;
      append("picture", pictureJson(id, picture));
    }
  }
  wake();
}

void CServeHub::addRigShot(const nlohmann::json& shot) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rigShots[shot.value("rig_shot", 0)] = shot;
    append("rigshot", shot);
  }
  wake();
}

std::optional<std::string> CServeHub::picturePath(int id) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto it = m_pictures.find(id);
  if (it == m_pictures.end() || it->second.state != "complete" || !IsJpegName(it->second.path)) {
    return std::nullopt;
  }
  return it->second.path;
}

std::string CServeHub::snapshot(std::uint64_t* next) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  nlohmann::json pictures = nlohmann::json::array();
  for (const auto& [id, picture] : m_pictures) pictures.push_back(pictureJson(id, picture));
  nlohmann::json state = m_state;
  state["pictures"] = pictures;
  if (!m_rigShots.empty()) {
    state["rigshots"] = nlohmann::json::array();
    for (const auto& [number, shot] : m_rigShots) state["rigshots"].push_back(shot);
  }
  *next = m_nextEvent;
  return ServerSentEvent("state", state);
}

bool CServeHub::eventsSince(std::uint64_t* next, std::string* out) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::uint64_t oldest = m_nextEvent - m_events.size();
  if (*next < oldest) return false;
  for (std::uint64_t n = *next; n < m_nextEvent; ++n)
    *out += m_events[static_cast<std::size_t>(n - oldest)];
  *next = m_nextEvent;
  return true;
}

CServeHub::Frame CServeHub::nextFrame(FrameCursor* cursor) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  // Each camera in turn after the one sent last, so a client that reads slowly still sees
  // every camera, each at its newest frame.
  auto it = m_frames.upper_bound(cursor->last);
  for (std::size_t looked = 0; looked < m_frames.size(); ++looked, ++it) {
    if (it == m_frames.end()) it = m_frames.begin();
    std::uint64_t& seen = cursor->seen[it->first];
    if (it->second.number == seen) continue;
    seen = it->second.number;
    cursor->last = it->first;
    return {it->first, it->second.jpeg};
  }
  return {};
}

bool CServeHub::submit(const Step& step, std::string* refusal) {
  if (step.kind == StepKind::Stop) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_busy.empty()) {
      *refusal = "nothing is running that could be stopped";
      return false;
    }
    m_stop = true;
    return true;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_cameraReady) {
    *refusal = m_whyNot;
  } else if (!m_busy.empty()) {
    *refusal = "the camera is busy with " + m_busy + "; stop it first";
  } else if (m_commands.size() >= kCommandsWaiting) {
    *refusal = "too many commands are waiting for the camera; try again in a moment";
  } else {
    m_commands.push_back(step);
    return true;
  }
  return false;
}

std::optional<Step> CServeHub::takeCommand() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_commands.empty()) return std::nullopt;
  Step step = std::move(m_commands.front());
  m_commands.pop_front();
  return step;
}

void CServeHub::setAvailability(bool cameraReady, const std::string& whyNot) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_cameraReady = cameraReady;
  m_whyNot = whyNot;
  // Commands sent for a camera that has gone would act on whatever comes back.
  if (!cameraReady) m_commands.clear();
}

void CServeHub::setBusy(const std::string& job) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_busy = job;
  // A stop that came as the job ended on its own would otherwise stop the next one at once;
  // "stop" is taken only while a job runs, under the same lock.
  if (job.empty()) m_stop = false;
}
