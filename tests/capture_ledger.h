// What a session's captures came to, from three sides: the files the simulated camera made (the
// reader's `made`), what the host was told of them (the messages, in order, which keep the
// rules of tests/host_rules.h too) and what the download folder holds once the process ended.
// A broken rule goes to the reader's `broke`. No test framework needed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sim/sim_content.h"
#include "sim/sim_picture.h"
#include "tests/host_rules.h"

// A file's content (empty when unreadable); the names of the files in a folder, sorted.
inline std::vector<unsigned char> ReadBytes(const std::filesystem::path& path) {
  // In one read: a byte at a time takes seconds for a RAW file under the sanitizers.
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<unsigned char> bytes(in ? static_cast<std::size_t>(in.tellg()) : 0);
  in.seekg(0).read(reinterpret_cast<char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
  return bytes;
}
inline std::vector<std::string> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Whether `bytes` are all of the simulated RAW file made from `seed`.
inline bool MatchesRaw(const std::vector<unsigned char>& bytes, std::uint64_t seed) {
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] != lbsim::RawByte(seed, i)) return false;
  return !bytes.empty();
}
// The JPEG simulated camera `camera` made for its shot `shot`, `photoWidth` wide. Each is
// rendered once a process: a file is matched against many shots, and a render takes long.
inline const std::vector<unsigned char>& SimShotJpeg(std::uint32_t camera, std::uint32_t shot,
                                                     int photoWidth) {
  static std::map<std::tuple<std::uint32_t, std::uint32_t, int>, std::vector<unsigned char>>
      rendered;
  std::vector<unsigned char>& jpeg = rendered[{camera, shot, photoWidth}];
  if (jpeg.empty()) jpeg = lbsim::ShotJpeg(lbsim::FileSeed(camera, shot, false), photoWidth);
  return jpeg;
}
// Whether `bytes` are the file simulated camera `camera` made for its shot `shot`: the RAW file
// when they are `rawBytes` long, else the JPEG `photoWidth` wide.
inline bool SimCameraMade(const std::vector<unsigned char>& bytes, std::uint32_t camera,
                          std::uint32_t shot, std::size_t rawBytes,
                          int photoWidth = lbsim::kPhotoWidth) {
  return bytes.size() == rawBytes ? MatchesRaw(bytes, lbsim::FileSeed(camera, shot, true))
                                  : bytes == SimShotJpeg(camera, shot, photoWidth);
}

// The captures' rules: a capture id is announced once ("objectWasAdded") and ends once, after
// it, with "fileDownloadComplete" or an "error" under its id; what the files came to.
class CCaptureLedger : public CHostRules {
 public:
  // Whether `bytes` are a whole file the camera made; `name` is the camera's name for it as
  // announced ("DSC_0007.NEF"), or its name in the folder when it was never announced.
  using Made =
      std::function<bool(const std::vector<unsigned char>& bytes, const std::string& name)>;
  CCaptureLedger(Broke broke, std::filesystem::path folder, Made made)
      : CHostRules(std::move(broke)), m_folder(std::move(folder)), m_made(std::move(made)) {}

  void see(std::uint32_t requestId, const std::string& name, const ZnLuaTE* payload) {
    CHostRules::see(requestId, name, payload);
    if (requestId != 0) return;
    const double number = Number(payload, "capture_id");
    const auto capture = static_cast<std::uint32_t>(number > 0 ? number : 0);
    const std::string id = std::to_string(capture);
    m_news += name == "objectWasAdded" || name == "error";
    if (name == "objectWasAdded") {
      File file;
      file.name = Text(payload, "file_name");
      file.cameraName = Text(payload, "camera_file_name");
      if (capture == 0)
        m_broke("a file announced without a capture id", file.name);
      else if (!m_files.emplace(capture, file).second)
        m_broke("a capture id announced twice", id);
    } else if (name == "fileDownloadComplete" || (name == "error" && capture != 0)) {
      const auto file = m_files.find(capture);
      if (file == m_files.end())
        m_broke("an outcome for a capture id never announced", name + " for " + id);
      else if (std::exchange(file->second.ended, true))
        m_broke("a capture ended twice", name + " for " + id);
      else if (name == "fileDownloadComplete")
        file->second.path = Text(payload, "file_path");
    }
  }
  // Files announced and errors heard so far: a release brings the one or the other.
  unsigned news() const { return m_news; }
  std::set<std::uint32_t> openCaptures() const {
    std::set<std::uint32_t> open;
    for (const auto& [capture, file] : m_files)
      if (!file.ended) open.insert(capture);
    return open;
  }

  // Once the process has ended: a file reported whole is the one announced, in the folder, with
  // the camera's bytes, and reported once; no ".part" is left. When the host stayed to the end,
  // every required request was answered, every announced file ended and the folder holds
  // nothing else; a host that left was not told of the files done as the process ended, so
  // they may stay, whole and the camera's.
  void checkEnd(bool hostStayed) const {
    namespace fs = std::filesystem;
    checkRequiredAnswers(hostStayed);
    if (hostStayed && !openCaptures().empty())
      m_broke("announced files never ended", IdList(openCaptures()));
    std::set<std::string> reported;
    for (const auto& [capture, file] : m_files) {
      if (file.path.empty()) continue;  // not reported whole
      std::error_code error;
      if (!fs::equivalent(fs::u8path(file.path), m_folder / file.name, error))
        m_broke("a file reported whole is not in the folder under its announced name",
                file.path + " (announced as " + file.name + ")");
      else if (!reported.insert(file.name).second)
        m_broke("a file reported whole twice", file.path);
      else if (!m_made(ReadBytes(m_folder / file.name), file.cameraName))
        m_broke("a file reported whole does not hold the camera's bytes", file.path);
    }
    for (const std::string& name : FilesIn(m_folder)) {
      std::string cameraName = name;  // of the file last announced under that name
      for (const auto& [capture, file] : m_files)
        if (file.name == name) cameraName = file.cameraName;
      if (fs::path(name).extension() == ".part")
        m_broke("a .part file outlived its download", name);
      else if (!reported.count(name) &&
               (hostStayed || !m_made(ReadBytes(m_folder / name), cameraName)))
        m_broke("a file not reported whole is left in the folder", name);
    }
  }

 private:
  struct File {
    std::string name, cameraName;  // in the folder; the camera's
    bool ended = false;
    std::string path;  // as reported whole
  };
  std::filesystem::path m_folder;
  Made m_made;
  unsigned m_news = 0;
  std::map<std::uint32_t, File> m_files;  // by capture id, as announced
};
