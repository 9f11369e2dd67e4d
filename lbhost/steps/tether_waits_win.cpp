// CTetherSteps' waits: for a message while watching for trouble, and for the files of a shot
// as they are announced and downloaded.
#include "lbhost/steps/tether_steps.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "platform/free_name.h"
#include "platform/platform.h"
#include "values/shutter_speed.h"
#include "lbhost/steps/step_support.h"
#include "lbhost/vocabulary/camera_words.h"
#include "lbhost/vocabulary/payload_reader.h"
#include "lbhost/vocabulary/setting_match.h"
#include "lbhost/vocabulary/valid_utf8.h"

using namespace step_support;

namespace {

// The bytes written so far of a file the process downloads: its ".part" while it is written,
// then the file itself. The size comes from an open handle, as a directory entry may lag
// behind a file that another process still writes; the handle shares everything, so the
// process's rename is never refused for it.
std::optional<long long> BytesOnDisk(const std::string& path) {
  for (const std::string& candidate : {path + platform::kPartialFileSuffix, path}) {
    HANDLE file = CreateFileW(platform::utf8ToWide(candidate).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    LARGE_INTEGER size;
    const bool known = GetFileSizeEx(file, &size) != 0;
    CloseHandle(file);
    if (known) return size.QuadPart;
  }
  return std::nullopt;
}

// An "error" notification in the photographer's words, for the wait it ended.
std::string ErrorNotificationText(const ZnLuaTE* p, const std::string& what) {
  const std::string description = TextAt(p, "error_description");
  const std::string text = description.empty() ? "no description" : InCameraWords(description);
  const std::string code =
      "error " + std::to_string(static_cast<long long>(NumberAt(p, "error_code").value_or(0)));
  std::string detail = text.find(code) == std::string::npos ? code : std::string();
  if (const auto captureId = NumberAt(p, "capture_id")) {
    detail += (detail.empty() ? "capture " : ", capture ") +
              std::to_string(static_cast<long long>(*captureId));
  }
  return "the camera reported a problem while waiting for " + what + ": " + text +
         (detail.empty() ? std::string() : " (" + detail + ")");
}

}  // namespace

std::string step_support::Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

Result<std::optional<HostMessage>> CTetherSteps::waitFor(
    const std::function<bool(const HostMessage&)>& wanted, Clock::time_point deadline,
    const std::string& what, WaitStyle style, ShotCollection* shot) {
  const std::uint32_t device = m_camera ? m_camera->deviceId : 0;
  auto connected = [this, device](double id) {
    if (device != 0 && id == device) return true;
    for (const auto& c : m_rig) {
      if (c.deviceId == id) return true;
    }
    return false;
  };
  auto isTrouble = [&connected](const HostMessage& m) {
    if (m.requestId != 0) return false;
    const std::string name = m.nameText();
    if (name == "error") return true;
    return name == "deviceRemoved" &&
           connected(NumberAt(m.payload.get(), "device_id").value_or(-1));
  };
  // With an observer, the notifications no step waits for go to it as they come, so live
  // view and the camera's own dials stay current during a long step. Files stay queued: a
  // shot the camera took by itself is saved by the next pump(). So do a rig's reports, as a
  // camera that refuses its release reports it before the rig's wait knows the shot's number.
  auto isUnclaimed = [this](const HostMessage& m) {
    if (!m_observer || m.requestId != 0) return false;
    const std::string name = m.nameText();
    return name != "objectWasAdded" && name != "fileDownloadComplete" && name != "rigReleaseEnded";
  };
  const auto start = Clock::now();
  auto nextProgress = start + kFirstProgress;
  m_unplugged = false;
  m_trouble.reset();
  while (true) {
    const auto now = Clock::now();
    // A download that moves is alive, however long it takes.
    if (shot && shot->progress.grew())
      shot->deadline = std::max(shot->deadline, now + milliseconds(m_options.timeoutMs));
    // The shot's deadline moves only here, so this end holds for the whole turn.
    const auto end = shot ? std::min(deadline, shot->deadline) : deadline;
    const auto sliceEnd = std::min({end, nextProgress, now + milliseconds(200)});
    const unsigned slice = static_cast<unsigned>(std::max<long long>(0, MsBetween(now, sliceEnd)));
    auto message = m_session.client().waitFor(
        [&](const HostMessage& m) { return wanted(m) || isTrouble(m) || isUnclaimed(m); }, slice);
    // A wait that asks for trouble itself (a rig's, which outlives one camera) gets it.
    if (message && wanted(*message)) return message;
    if (message && !isTrouble(*message)) {
      m_observer->unclaimed(*message);
      continue;
    }
    if (message) {
      Failure trouble{ErrorKind::Camera, ""};
      if (message->nameText() == "error") {
        trouble.message = ErrorNotificationText(message->payload.get(), what);
      } else {
        const auto gone = static_cast<std::uint32_t>(
            NumberAt(message->payload.get(), "device_id").value_or(device));
        trouble.message = "the camera " + ValidUtf8(cameraLabel(gone)) + " (device " +
                          std::to_string(gone) + ") was unplugged or switched off while " +
                          "waiting for " + what;
        m_unplugged = true;
      }
      m_trouble = std::move(message);
      // A file of the shot lbhost serve left open failed while another step ran: the shot
      // takes it, and this step goes on.
      if (m_openShot && m_openShot.get() != shot && takeFileFailure(*m_openShot, trouble.message))
        continue;
      return trouble;
    }
    if (m_session.client().outputBroken()) {
      auto code = m_session.client().process().waitForExit(500);
      m_unresponsive = true;
      return Failure{ErrorKind::Process,
                     "lensbridge.exe ended while waiting for " + what +
                         (code ? " (exit code " + std::to_string(*code) + ")" : std::string())};
    }
    if (style.interruptible && m_interrupted) {
      return Failure{ErrorKind::Interrupted, "interrupted (Ctrl+C) while waiting for " + what};
    }
    const auto after = Clock::now();
    if (after >= end) return std::optional<HostMessage>();
    if (after >= nextProgress && style.showProgress) {
      const std::string done = shot ? shot->progress.describe() : std::string();
      m_report.progress("waiting for " + what + ": " +
                        (done.empty() ? std::string() : done + ", ") +
                        Seconds(MsBetween(start, after) / 1000.0) + " so far");
      nextProgress = after + kProgressEvery;
    }
  }
}

Status CTetherSteps::pause(Clock::time_point until, const std::string& what) {
  return waitFor([](const HostMessage&) { return false; }, until, what, kQuietInterruptible);
}

Result<unsigned> CTetherSteps::releaseWaitMs(std::uint32_t deviceId) {
  // A bulb exposure lasts as long as the camera is told; an hour bounds the wait.
  constexpr double kBulbSeconds = 3600;
  auto settings = readSettings(deviceId);
  if (!settings) return settings.failure();
  bool bulb = false;
  const std::optional<double> exposure =
      ShutterSpeedSeconds(TextAt(settings->get(), FindSetting("shutter")->valueKey), &bulb);
  const double seconds = bulb ? kBulbSeconds : exposure.value_or(0);
  return m_options.timeoutMs + static_cast<unsigned>(std::ceil(seconds * 1000));
}

Status CTetherSteps::takeShot(Shot* shot) {
  const Result<unsigned> waitMs = releaseWaitMs();
  if (!waitMs) return waitMs;
  if (Status released = release(); !released) return released;
  // lensbridge answers at once and goes on answering while the camera exposes and the files
  // transfer: the release shows in its first file, or in an "error" (a release the camera
  // refused, or one that never came back).
  return collectShot(Clock::now() + milliseconds(*waitMs), false, "the camera to release", shot,
                     *waitMs);
}

CTetherSteps::ShotCollection::ShotCollection(const std::string& downloadFolder,
                                             Clock::time_point firstFileDeadline, bool noneIsFine,
                                             std::string what, unsigned firstFileMs)
    : progress(
          [downloadFolder](const std::string& name) { return BytesOnDisk(downloadFolder + name); }),
      deadline(firstFileDeadline),
      noneIsFine(noneIsFine),
      what(std::move(what)),
      firstFileMs(firstFileMs) {}

bool CTetherSteps::ShotCollection::awaits(const DownloadedFile& file) const {
  return file.path.empty() && !shot.failed.count(file.captureId);
}

DownloadedFile* CTetherSteps::ShotCollection::pending(int captureId) {
  for (auto& file : shot.files) {
    if (file.captureId == captureId && awaits(file)) return &file;
  }
  return nullptr;
}

bool CTetherSteps::ShotCollection::pairsSettled() const {
  // A RAW+JPEG shot announces two files that both carry the sidecar mark; when one of them
  // fails, the process announces the other alone, without the mark. Each camera of a rig
  // makes its own pairs.
  std::map<std::uint32_t, std::pair<std::size_t, std::size_t>> files;  // all, and marked
  for (const auto& f : shot.files) {
    ++files[f.deviceId].first;
    files[f.deviceId].second += f.hasSidecar;
  }
  for (const auto& [device, count] : files) {
    if (count.second % 2 == 1 && count.first == count.second && !partnerLost.count(device))
      return false;
  }
  return true;
}

bool CTetherSteps::ShotCollection::settled() const {
  return !shot.files.empty() && ended == shot.files.size() && pairsSettled();
}

std::string CTetherSteps::ShotCollection::awaited() const {
  std::string text = shot.files.empty() ? what : "the rest of the shot";
  for (const auto& file : shot.files) {
    if (awaits(file)) text = "the download of " + file.fileName;
  }
  return text;
}

bool CTetherSteps::takeFileFailure(ShotCollection& c, const std::string& why) {
  // An "error" about a file of this shot ends that file only; one without a capture id while
  // an odd file of a pair is in is its partner, lost before it was announced.
  if (!m_trouble || m_trouble->nameText() != "error" || c.shot.files.empty()) return false;
  const int captureId =
      static_cast<int>(NumberAt(m_trouble->payload.get(), "capture_id").value_or(0));
  // A rig's cameras make their pairs each; the error names its camera.
  const std::uint32_t device = deviceOf(*m_trouble);
  const auto marked =
      std::count_if(c.shot.files.begin(), c.shot.files.end(),
                    [device](const auto& f) { return f.deviceId == device && f.hasSidecar; });
  if (c.pending(captureId)) {
    c.shot.failed.insert(captureId);
    c.progress.ended(captureId);
    m_ledger.failed(captureId);
    ++c.ended;
  } else if (captureId == 0 && marked % 2 == 1 && !c.partnerLost.count(device)) {
    c.partnerLost.insert(device);
  } else {
    return false;
  }
  if (c.failure.empty()) c.failure = why;
  return true;
}

Result<bool> CTetherSteps::advance(ShotCollection& c, Clock::time_point until) {
  auto isFile = [](const HostMessage& m) {
    return m.requestId == 0 &&
           (m.nameText() == "objectWasAdded" || m.nameText() == "fileDownloadComplete");
  };
  auto& files = c.shot.files;
  while (!c.settled()) {
    // A watch waits for the photographer in silence; a download in progress shows.
    const bool waitingForPhotographer = files.empty() && c.noneIsFine;
    const std::string awaited = c.awaited();
    auto message =
        waitFor(isFile, until, awaited, {!waitingForPhotographer, waitingForPhotographer}, &c);
    if (!message) {
      if (takeFileFailure(c, message.failure().message)) continue;
      return message.failure();
    }
    if (!*message) {
      if (Clock::now() < c.deadline) return false;  // `until` came first
      if (files.empty() && c.noneIsFine) return true;
      return Failure{ErrorKind::Camera,
                     files.empty() ? "the camera did not finish the shot within " +
                                         std::to_string(c.firstFileMs) +
                                         " ms (its exposure and --timeout): no picture came"
                                   : awaited + " made no progress for " +
                                         std::to_string(m_options.timeoutMs) + " ms (--timeout)"};
    }
    c.deadline = Clock::now() + milliseconds(m_options.timeoutMs);
    takeFileMessage(c, **message);
  }
  if (c.failure.empty()) return true;
  return Failure{ErrorKind::Camera, c.failure};
}

std::uint32_t CTetherSteps::deviceOf(const HostMessage& message) const {
  const auto id = NumberAt(message.payload.get(), "device_id");
  if (id) return static_cast<std::uint32_t>(*id);
  return m_rig.size() == 1 ? m_rig.front().deviceId : 0;
}

bool CTetherSteps::takeFileMessage(ShotCollection& c, const HostMessage& message) {
  auto& files = c.shot.files;
  const ZnLuaTE* p = message.payload.get();
  const int captureId = static_cast<int>(NumberAt(p, "capture_id").value_or(0));
  if (message.nameText() == "objectWasAdded") {
    DownloadedFile file;
    file.captureId = captureId;
    file.deviceId = deviceOf(message);
    file.fileName = TextAt(p, "file_name");
    file.announcedSize = static_cast<long long>(NumberAt(p, "file_size").value_or(0));
    file.hasSidecar = NumberAt(p, "has_sidecar").value_or(0) != 0;
    file.cameraFileName = TextAt(p, "camera_file_name");
    file.rigShot = static_cast<int>(NumberAt(p, "rig_shot").value_or(0));
    m_ledger.downloading(file.captureId, file.fileName);
    c.progress.started(file.captureId, file.fileName, file.announcedSize);
    files.push_back(file);
    if (m_observer) m_observer->fileAnnounced(file);
    return true;
  }
  DownloadedFile* file = c.pending(captureId);
  if (!file) return false;
  file->path = TextAt(p, "file_path");
  file->downloadMs = NumberAt(p, "file_download_time").value_or(0);
  m_ledger.downloaded(captureId, file->path);
  c.progress.ended(captureId);
  if (m_observer) m_observer->fileDownloaded(*file);
  ++c.ended;
  return true;
}

Status CTetherSteps::collectShot(Clock::time_point firstFileDeadline, bool noneIsFine,
                                 const std::string& what, Shot* shot, unsigned firstFileMs) {
  ShotCollection c(m_downloadFolder, firstFileDeadline, noneIsFine, what, firstFileMs);
  const Status collected = advance(c, Clock::time_point::max());
  *shot = std::move(c.shot);
  return collected;
}

Status CTetherSteps::pump(unsigned ms) {
  const auto until = Clock::now() + milliseconds(ms);
  if (!m_openShot) {
    m_openShot = std::make_unique<ShotCollection>(m_downloadFolder, until, true,
                                                  "a shot on the camera", m_options.timeoutMs);
  }
  const Result<bool> settled = advance(*m_openShot, until);
  if (settled && !*settled) return Status();
  Shot shot = std::move(m_openShot->shot);
  m_openShot.reset();
  if (shot.files.empty()) return settled;
  nlohmann::json files = nlohmann::json::array();
  Status kept = keepShot(settled, &shot);
  reportShot(shot, "camera shot", &files, static_cast<bool>(kept));
  return kept;
}

Status CTetherSteps::advanceRig(ShotCollection& c) {
  auto partOf = [&c](std::uint32_t device) -> RigPart* {
    for (auto& part : c.rig) {
      if (part.camera.deviceId == device) return &part;
    }
    return nullptr;
  };
  // A camera's files of this shot carry its number; one camera alone is not told them.
  auto ofThisShot = [&c](const HostMessage& m) {
    return c.rigShot != 0 &&
           NumberAt(m.payload.get(), "rig_shot").value_or(c.rig.size() == 1 ? c.rigShot : -1) ==
               c.rigShot;
  };
  auto isRig = [&](const HostMessage& m) {
    if (m.requestId != 0) return m.requestId == c.rigRequest;
    const std::string name = m.nameText();
    if (name == "rigReleaseEnded" || name == "objectWasAdded") {
      return ofThisShot(m) && partOf(deviceOf(m)) != nullptr;
    }
    if (name == "fileDownloadComplete") {
      return c.pending(static_cast<int>(NumberAt(m.payload.get(), "capture_id").value_or(0))) !=
             nullptr;
    }
    return name == "error" || (name == "deviceRemoved" && partOf(deviceOf(m)));
  };
  auto settled = [&c] {
    if (c.rigShot == 0 || c.ended != c.shot.files.size() || !c.pairsSettled()) return false;
    for (const RigPart& part : c.rig) {
      const bool hasFile = std::any_of(
          c.shot.files.begin(), c.shot.files.end(),
          [&part](const DownloadedFile& f) { return f.deviceId == part.camera.deviceId; });
      if (!part.lost && !(part.ended && (!part.notFired.empty() || hasFile))) return false;
    }
    return true;
  };
  // A camera that did not take part fails the shot, once the others' files are in.
  std::string failures;
  auto fail = [&failures](const std::string& why) {
    failures += (failures.empty() ? "" : "; ") + why;
  };
  while (!settled()) {
    std::string awaited = c.rigShot ? c.awaited() : "the answer to \"doRigCapture\"";
    for (const RigPart& part : c.rig) {
      if (!part.ended && !part.lost) awaited = cameraLabel(part.camera.deviceId) + " to fire";
    }
    auto message = waitFor(isRig, Clock::time_point::max(), awaited, {true, false}, &c);
    if (!message) return message.failure();  // the process ended
    if (!*message && c.rigShot == 0) {
      m_unresponsive = true;
      return Failure{ErrorKind::Process, "lensbridge.exe did not answer \"doRigCapture\" within " +
                                             std::to_string(c.firstFileMs) + " ms"};
    }
    if (!*message) {
      // No camera reported and no download grew for --timeout (after the exposure, before the
      // first report): what is missing is named.
      for (const RigPart& part : c.rig) {
        const std::uint32_t id = part.camera.deviceId;
        const bool hasFile =
            std::any_of(c.shot.files.begin(), c.shot.files.end(),
                        [id](const DownloadedFile& f) { return f.deviceId == id; });
        if (!part.ended && !part.lost) {
          fail(cameraLabel(id) + " did not report its release within " +
               std::to_string(c.firstFileMs) + " ms (its exposure and --timeout)");
        } else if (part.firedMs && !part.lost && !hasFile) {
          fail(cameraLabel(id) + " fired, but no picture came from it");
        }
      }
      if (c.ended != c.shot.files.size()) {
        fail(c.awaited() + " made no progress for " + std::to_string(m_options.timeoutMs) +
             " ms (--timeout)");
      }
      break;
    }
    HostMessage& m = **message;
    c.deadline = std::max(c.deadline, Clock::now() + milliseconds(m_options.timeoutMs));
    const std::string name = m.nameText();
    const ZnLuaTE* p = m.payload.get();
    RigPart* part = partOf(deviceOf(m));
    if (m.requestId != 0) {
      if (name == "error") {
        return Failure{ErrorKind::Camera,
                       "the rig did not fire: " + InCameraWords(TextAt(p, "error_description"))};
      }
      c.rigShot = static_cast<int>(NumberAt(p, "rig_shot").value_or(0));
    } else if (name == "rigReleaseEnded") {
      part->ended = true;
      part->startedMs = NumberAt(p, "started_ms");
      part->firedMs = NumberAt(p, "fired_ms");
      if (!part->firedMs) {
        const std::string code =
            "error " +
            std::to_string(static_cast<long long>(NumberAt(p, "error_code").value_or(0)));
        part->notFired = InCameraWords(TextAt(p, "error_description"));
        if (part->notFired.empty()) part->notFired = "no reason given";
        if (part->notFired.find(code) == std::string::npos) part->notFired += " (" + code + ")";
      }
    } else if (name == "deviceRemoved") {
      // Its announced files still end, each with its "error"; the others' go on arriving.
      part->lost = true;
      if (!part->ended) part->notFired = "unplugged or switched off";
      fail("the camera " + cameraLabel(part->camera.deviceId) + " (device " +
           std::to_string(part->camera.deviceId) + ") was unplugged or switched off");
    } else if (name == "error") {
      const std::uint32_t device = deviceOf(m);
      m_trouble = std::move(m);
      const std::string why = (partOf(device) ? cameraLabel(device) + ": " : std::string()) +
                              ErrorNotificationText(m_trouble->payload.get(), "the rig's shot");
      // A refused release is told again by its "rigReleaseEnded", which names the reason.
      const bool ofARelease = !NumberAt(m_trouble->payload.get(), "capture_id") && partOf(device);
      if (!takeFileFailure(c, why) && !ofARelease) m_report.progress(why);
    } else {
      takeFileMessage(c, m);
    }
  }
  for (const RigPart& part : c.rig) {
    if (!part.notFired.empty() && !part.lost)
      fail(cameraLabel(part.camera.deviceId) + " did not fire: " + part.notFired);
  }
  if (!c.failure.empty()) fail(c.failure);
  if (failures.empty()) return Status();
  return Failure{ErrorKind::Camera, failures};
}
