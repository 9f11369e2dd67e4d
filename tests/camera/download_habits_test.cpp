// Downloads through the real camera layer from simulated cameras with the habits of real
// modules that shape a transfer: blocks out of order and of any size, items announced after
// the capture (so the download runs in the heartbeat), a pair's second file announced while
// the first transfers, a slow link, and shots taken with the camera's own button. Each habit
// runs two RAW+JPEG shots and then one whose camera is lost mid-transfer; what the host is
// told and what lands on disk are checked byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/camera_commands.h"
#include "camera/camera/camera.h"
#include "camera/download/download_directory.h"
#include "platform/platform.h"
#include "sim/sim_content.h"
#include "sim/sim_picture.h"
#include "tests/camera/sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace simtest;

// The simulated camera's photos: 1600 x 1064 charts at quality 90, seeded per file.
constexpr int kPhotoWidth = 1600;
constexpr int kPhotoHeight = 1064;
constexpr unsigned kRawBytes = 3000000;  // a few blocks, so that order and pace matter

// One file as the host heard of it.
struct HostFile {
  double captureId = 0;
  std::string name;
  double size = 0;
  double sidecar = 0;
  std::string path;   // from "fileDownloadComplete"
  double errorCode = 0;  // from "error"
};

class DownloadHabitsTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    m_habit = GetParam();
    m_scenarioPath = PrivateTempPath("lb_download_habits") + ".scenario";
    std::ofstream(m_scenarioPath, std::ios::trunc)
        << "camera 1 type=43 exposure=3 format=raw+jpeg raw-bytes=" << kRawBytes
        << " rate=20 habits=" << m_habit << " name=D850\n";
    setenv("LBSIM_SCENARIO", m_scenarioPath.c_str(), 1);
    SimControl("Type0001.md3", "reset");
    SimControl("Type0023.md3", "reset");
    SetCameraHost(&m_host);
    m_manager = CNikonModuleManager::getInstance();
    m_folder = PrivateTempPath("lb_download_habits");
    fs::remove_all(m_folder);
    fs::create_directories(m_folder);
    g_downloadDirectory = m_folder + "/";
    HandleListDevices(1, nullptr);
    HandleConnectDevice(2, DeviceParams(0x101).get());
    m_camera = m_manager->findModule(0x100)->m_currentCamera;
    ASSERT_NE(m_camera, nullptr);
    TakeAll();
  }
  void TearDown() override {
    CNikonModuleManager::DestroyInstance();
    SetCameraHost(nullptr);
    DiscardOutgoingMessages();
    std::remove(m_scenarioPath.c_str());
    fs::remove_all(m_folder);
  }

  // One shot: the host's release, or the camera's own button (whose first shot comes with
  // the connection); then the heartbeat runs until every announced file has its outcome.
  void shoot(std::size_t expectedFiles) {
    ++m_shots;
    if (m_habit == "camera-button") {
      if (m_shots > 1) SimControl("Type0001.md3", "shoot 1");
    } else {
      m_camera->capture();
    }
    for (int tick = 0; tick < 300; ++tick) {
      collect();
      if (m_outcomes == m_files.size() && m_files.size() >= m_filesBefore + expectedFiles) break;
      m_manager->pumpIdle();
      platform::sleepMs(10);
    }
    collect();
    m_filesBefore = m_files.size();
  }

  void collect() {
    for (auto& message : TakeAll()) {
      const std::string name = message->name->getString();
      const ZnLuaTETable* p = Payload(*message);
      m_log << "  " << name << " capture_id=" << Number(p, "capture_id") << " "
            << Text(p, "file_name") << Text(p, "file_path") << " " << Text(p, "error_description")
            << "\n";
      if (name == "objectWasAdded") {
        HostFile file;
        file.captureId = Number(p, "capture_id");
        file.name = Text(p, "file_name");
        file.size = Number(p, "file_size");
        file.sidecar = Number(p, "has_sidecar");
        m_files.push_back(file);
      } else if (name == "fileDownloadComplete" || name == "error") {
        HostFile* file = find(Number(p, "capture_id"));
        if (!file) {
          m_unmatched.push_back(name + " " + Text(p, "error_description"));
          continue;
        }
        ++m_outcomes;
        if (name == "error") file->errorCode = Number(p, "error_code");
        else file->path = Text(p, "file_path");
      }
    }
  }
  HostFile* find(double captureId) {
    for (HostFile& file : m_files)
      if (file.captureId == captureId && file.path.empty() && file.errorCode == 0) return &file;
    return nullptr;
  }

  std::vector<std::string> filesOnDisk() const { return FilesIn(m_folder); }

  std::string m_habit;
  std::string m_scenarioPath;
  std::string m_folder;
  CHostNotifications m_host;
  CNikonModuleManager* m_manager = nullptr;
  CCamera* m_camera = nullptr;
  int m_shots = 0;
  std::vector<HostFile> m_files;       // in the order they were announced
  std::size_t m_outcomes = 0;
  std::size_t m_filesBefore = 0;
  std::vector<std::string> m_unmatched;  // outcomes for no announced file
  std::ostringstream m_log;              // what the host was told, for failure reports
};

TEST_P(DownloadHabitsTest, EveryFileArrivesWholeOrIsReported) {
  shoot(2);
  shoot(2);
  SCOPED_TRACE("host was told:\n" + m_log.str());
  ASSERT_TRUE(m_unmatched.empty()) << m_unmatched.front();
  ASSERT_EQ(m_files.size(), 4u);

  // Each shot is one base name with a .nef and a .jpg, and the two shots differ.
  std::map<std::string, std::set<std::string>> shots;  // base name -> extensions
  std::vector<std::string> order;
  for (const HostFile& file : m_files) {
    const std::string base = file.name.substr(0, file.name.rfind('.'));
    if (!shots.count(base)) order.push_back(base);
    shots[base].insert(file.name.substr(file.name.rfind('.')));
  }
  ASSERT_EQ(order.size(), 2u);
  std::vector<std::string> expectedOnDisk;
  for (const HostFile& file : m_files) {
    SCOPED_TRACE(file.name);
    const std::string base = file.name.substr(0, file.name.rfind('.'));
    EXPECT_EQ(shots[base], (std::set<std::string>{".jpg", ".nef"}));
    EXPECT_EQ(file.errorCode, 0);
    EXPECT_EQ(file.sidecar, 1);
    ASSERT_EQ(file.path, g_downloadDirectory + file.name);
    expectedOnDisk.push_back(file.name);

    const auto bytes = ReadBytes(file.path);
    EXPECT_EQ(file.size, bytes.size());
    const std::uint32_t shot = base == order[0] ? 1 : 2;
    const bool raw = file.name.substr(file.name.size() - 4) == ".nef";
    const std::uint64_t seed = lbsim::FileSeed(1, shot, raw);
    if (raw) {
      ASSERT_EQ(bytes.size(), kRawBytes);
      std::vector<unsigned char> expected(kRawBytes);
      lbsim::FillRaw(seed, 0, expected.data(), expected.size());
      EXPECT_TRUE(bytes == expected) << "RAW bytes differ from what the camera sent";
    } else {
      EXPECT_TRUE(bytes == lbsim::RenderChartJpeg(kPhotoWidth, kPhotoHeight, 0, seed, 90))
          << "JPEG bytes differ from what the camera sent";
    }
  }
  std::sort(expectedOnDisk.begin(), expectedOnDisk.end());
  EXPECT_EQ(filesOnDisk(), expectedOnDisk) << "nothing else, no .part file";

  // A third shot whose camera is lost after the first block: the file it announced is
  // reported failed under its id, and nothing of it stays on disk.
  SimControl("Type0001.md3", "fault transfer-lost");
  shoot(1);
  // The camera may still hand over the pair's JPEG, or be found gone first.
  for (int tick = 0; tick < 10; ++tick) {
    m_manager->pumpIdle();
    collect();
  }
  SCOPED_TRACE("then:\n" + m_log.str());
  ASSERT_TRUE(m_unmatched.empty()) << m_unmatched.front();
  ASSERT_GE(m_files.size(), 5u);
  EXPECT_EQ(m_files[4].name.substr(m_files[4].name.size() - 4), ".nef");
  EXPECT_EQ(m_files[4].errorCode, kNkMAIDResult_CameraNotFound);
  EXPECT_TRUE(m_files[4].path.empty());
  EXPECT_EQ(m_outcomes, m_files.size()) << "every announced file has its outcome";
  for (std::size_t i = 5; i < m_files.size(); ++i) {
    EXPECT_EQ(m_files[i].path, g_downloadDirectory + m_files[i].name) << m_files[i].name;
    expectedOnDisk.push_back(m_files[i].name);
  }
  std::sort(expectedOnDisk.begin(), expectedOnDisk.end());
  EXPECT_EQ(filesOnDisk(), expectedOnDisk);
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
