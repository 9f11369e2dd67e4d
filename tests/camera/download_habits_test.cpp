// Downloads through the real camera layer from simulated cameras with the habits of real
// modules that shape a transfer: blocks out of order and of any size, items announced after
// the capture (so the download runs in the heartbeat), a pair's second file announced while
// the first transfers, a slow link, and shots taken with the camera's own button. Each habit
// runs two RAW+JPEG shots and then one whose camera is lost mid-transfer; what the host is
// told and what lands on disk are checked byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "camera/camera/camera.h"
#include "camera/download/download_directory.h"
#include "platform/platform.h"
#include "sim/sim_content.h"
#include "sim/sim_picture.h"
#include "tests/camera/sim_fixture.h"

namespace {

using namespace simtest;

constexpr unsigned kRawBytes = 3000000;  // a few blocks, so that order and pace matter

// One file as the host heard of it: announced, then completed (path) or failed (error).
struct HostFile {
  double captureId = 0;
  std::string name;
  double size = 0;
  double sidecar = 0;
  std::string path;
  double errorCode = 0;
  int outcomes = 0;
  double downloadMs = 0;
};

class DownloadHabitsTest : public ConnectedCameraTest,
                           public ::testing::WithParamInterface<const char*> {
 protected:
  std::string scenario() const override {
    return std::string("camera 1 type=43 exposure=3 format=raw+jpeg raw-bytes=") +
           std::to_string(kRawBytes) + " rate=20 habits=" + GetParam() + " name=D850\n";
  }

  // One shot: the host's release, or the camera's own button (whose first shot comes with
  // the connection); then the heartbeat runs until every announced file has its outcome.
  void shoot(std::size_t expectedFiles) {
    const std::size_t before = m_files.size();
    if (std::string(GetParam()) != "camera-button") {
      camera->capture();
    } else if (++m_buttonShots > 1) {
      SimControl("Type0001.md3", "shoot 1");
    }
    for (int tick = 0; tick < 300; ++tick) {
      collect();
      if (m_outcomes == m_files.size() && m_files.size() >= before + expectedFiles) return;
      manager->pumpIdle();
      platform::sleepMs(10);
    }
  }

  void collect() {
    for (auto& message : TakeAll()) {
      const std::string name = message->name->getString();
      const ZnLuaTETable* p = Payload(*message);
      m_log << "  " << name << " " << Number(p, "capture_id") << " " << Text(p, "file_name")
            << Text(p, "file_path") << " " << Text(p, "error_description") << "\n";
      if (name == "objectWasAdded") {
        m_files.push_back({Number(p, "capture_id"), Text(p, "file_name"), Number(p, "file_size"),
                           Number(p, "has_sidecar"), "", 0, 0, 0});
      } else if (name == "fileDownloadComplete" || name == "error") {
        auto file = std::find_if(m_files.begin(), m_files.end(), [&](const HostFile& f) {
          return f.captureId == Number(p, "capture_id");
        });
        ASSERT_NE(file, m_files.end()) << "an outcome for no announced file\n" << m_log.str();
        ++m_outcomes;
        ++file->outcomes;
        if (name == "error") file->errorCode = Number(p, "error_code");
        else file->path = Text(p, "file_path");
        file->downloadMs = Number(p, "file_download_time");
      }
    }
  }

  int m_buttonShots = 0;
  std::vector<HostFile> m_files;  // in the order they were announced
  std::size_t m_outcomes = 0;
  std::ostringstream m_log;       // what the host was told, for failure reports
};

TEST_P(DownloadHabitsTest, EveryFileArrivesWholeOrIsReported) {
  shoot(2);
  shoot(2);
  SCOPED_TRACE("host was told:\n" + m_log.str());
  ASSERT_EQ(m_files.size(), 4u);
  std::vector<std::string> names;
  for (const HostFile& file : m_files) {
    SCOPED_TRACE(file.name);
    names.push_back(file.name);
    EXPECT_EQ(file.outcomes, 1);
    EXPECT_EQ(file.sidecar, 1);
    ASSERT_EQ(file.path, g_downloadDirectory + file.name);
    const auto bytes = ReadBytes(file.path);
    EXPECT_EQ(file.size, bytes.size());
    const bool raw = file.name.substr(file.name.size() - 4) == ".nef";
    const std::uint64_t seed = lbsim::FileSeed(1, file.name[10] == '1' ? 1 : 2, raw);
    if (raw) {
      // The time the host is told is the transfer's (a nested one restarts the clock).
      EXPECT_GE(file.downloadMs, 0);
      EXPECT_LT(file.downloadMs, 10000);
      std::vector<unsigned char> expected(kRawBytes);
      lbsim::FillRaw(seed, 0, expected.data(), expected.size());
      EXPECT_TRUE(bytes == expected) << "RAW bytes differ from what the camera sent";
    } else {
      EXPECT_TRUE(bytes == lbsim::RenderChartJpeg(1600, 1064, 0, seed, 90))
          << "JPEG bytes differ from what the camera sent";
    }
  }
  // Each shot is one base name with a .nef and a .jpg, and nothing else is on disk.
  std::sort(names.begin(), names.end());
  const std::vector<std::string> pairs{"Capture0001.jpg", "Capture0001.nef", "Capture0002.jpg",
                                       "Capture0002.nef"};
  EXPECT_EQ(names, pairs);
  EXPECT_EQ(FilesIn(m_folder), pairs) << "no .part file";

  // A third shot whose camera is lost after the first block: the file it announced is
  // reported failed under its id, and nothing of it stays on disk. The camera may still hand
  // over the pair's JPEG, or be found gone first.
  SimControl("Type0001.md3", "fault transfer-lost");
  shoot(1);
  for (int tick = 0; tick < 10; ++tick) {
    manager->pumpIdle();
    collect();
  }
  SCOPED_TRACE("then:\n" + m_log.str());
  ASSERT_GE(m_files.size(), 5u);
  EXPECT_EQ(m_files[4].name, "Capture0003.nef");
  EXPECT_EQ(m_files[4].errorCode, kNkMAIDResult_CameraNotFound);
  EXPECT_EQ(m_outcomes, m_files.size()) << "every announced file has its outcome";
  std::vector<std::string> onDisk = pairs;
  for (std::size_t i = 5; i < m_files.size(); ++i) {
    EXPECT_EQ(m_files[i].path, g_downloadDirectory + m_files[i].name);
    onDisk.push_back(m_files[i].name);
  }
  std::sort(onDisk.begin(), onDisk.end());
  EXPECT_EQ(FilesIn(m_folder), onDisk);
}

INSTANTIATE_TEST_SUITE_P(Habits, DownloadHabitsTest,
                         ::testing::Values("ragged-blocks", "late-items", "nested-items",
                                           "slow-link", "camera-button",
                                           "ragged-blocks,nested-items,late-items"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace