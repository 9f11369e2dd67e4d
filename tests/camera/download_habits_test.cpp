// Downloads through the real camera layer from simulated cameras with the habits of real
// modules that shape a transfer: blocks out of order and of any size, items announced after
// the capture (so the download runs in the heartbeat), a pair's second file announced while
// the first transfers, the JPEG before the RAW file (with ragged blocks, so that the camera
// can be lost in the middle of either), a slow link, and shots taken with the camera's own
// button. Each habit runs two RAW+JPEG shots and then one whose camera is lost
// mid-transfer; what the host is told and what lands on disk are checked byte for byte.

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "sim/sim_content.h"
#include "sim/sim_picture.h"
#include "tests/camera/sim_fixture.h"

namespace {

using namespace simtest;

constexpr unsigned kRawBytes = 3000000;  // a few blocks, so that order and pace matter

// One file as the host heard of it: its announcement and what followed under its id.
struct HostFile {
  std::unique_ptr<OutgoingMessage> added;
  std::vector<std::unique_ptr<OutgoingMessage>> outcomes;
  std::string name() const { return Text(Payload(*added), "file_name"); }
  const ZnLuaTETable* outcome() const { return outcomes.empty() ? nullptr : Payload(*outcomes[0]); }
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
  void shoot(std::size_t expectedFiles) LB_REQUIRES(g_sdkLock) {
    const std::size_t before = m_files.size();
    if (std::string(GetParam()) != "camera-button")
      CaptureAndSettle(camera, manager);
    else if (++m_buttonShots > 1)
      SimControl("Type0001.md3", "shoot 1");
    for (int tick = 0; tick < 300; ++tick) {
      collect();
      if (m_files.size() >= before + expectedFiles &&
          std::all_of(m_files.begin(), m_files.end(), [](auto& f) { return f.outcome(); }))
        return;
      PumpAndSettle(manager);
      clock->advance(10);
    }
  }

  void collect() {
    for (auto& message : TakeAll()) {
      const std::string name = message->name->getString();
      const ZnLuaTETable* p = Payload(*message);
      m_log << "  " << name << " " << Number(p, "capture_id") << " " << Text(p, "file_name")
            << Text(p, "file_path") << " " << Text(p, "error_description") << "\n";
      if (name == "objectWasAdded") m_files.push_back({std::move(message), {}});
      if (name != "fileDownloadComplete" && name != "error") continue;
      if (Number(p, "capture_id") == -12345) {
        m_unannounced.push_back(std::move(message));
        continue;
      }
      auto file = std::find_if(m_files.begin(), m_files.end(), [&](const HostFile& f) {
        return Number(Payload(*f.added), "capture_id") == Number(p, "capture_id");
      });
      ASSERT_NE(file, m_files.end()) << "an outcome for no announced file\n" << m_log.str();
      file->outcomes.push_back(std::move(message));
    }
  }

  // The shot of the simulated camera whose bytes `file` holds (1 to `shots`), or 0. The
  // camera's files are made once for every test.
  static std::uint32_t ShotOf(const HostFile& file, std::uint32_t shots) {
    static std::map<std::pair<std::uint32_t, bool>, std::vector<unsigned char>> made;
    const std::string name = file.name();
    const bool raw = name.substr(name.size() - 4) == ".nef";
    const auto bytes = ReadBytes(g_downloadDirectory + name);
    for (std::uint32_t shot = 1; shot <= shots; ++shot) {
      std::vector<unsigned char>& expected = made[{shot, raw}];
      if (expected.empty()) {
        const std::uint64_t seed = lbsim::FileSeed(1, shot, raw);
        if (raw) {
          expected.resize(kRawBytes);
          lbsim::FillRaw(seed, 0, expected.data(), expected.size());
        } else {
          expected = lbsim::ShotJpeg(seed);
        }
      }
      if (bytes == expected) return shot;
    }
    return 0;
  }

  int m_buttonShots = 0;
  std::vector<HostFile> m_files;                                // in the order they were announced
  std::vector<std::unique_ptr<OutgoingMessage>> m_unannounced;  // errors without a capture id
  std::ostringstream m_log;  // what the host was told, for failure reports
};

TEST_P(DownloadHabitsTest, EveryFileArrivesWholeOrIsReported) {
  onCameraThread();
  // An earlier session's RAW file holds the first shot's name: the pair moves off it whole,
  // whichever of its files comes first, and leaves the stranger untouched.
  const std::string stranger = "Capture0001.nef";
  std::ofstream(m_folder / stranger) << "theirs";
  shoot(2);
  shoot(2);
  SCOPED_TRACE("host was told:\n" + m_log.str());
  ASSERT_EQ(m_files.size(), 4u);
  std::vector<std::string> names;
  for (const HostFile& file : m_files) {
    const std::string name = file.name();
    SCOPED_TRACE(name);
    names.push_back(name);
    EXPECT_EQ(Number(Payload(*file.added), "has_sidecar"), 1);
    ASSERT_EQ(Text(file.outcome(), "file_path"), g_downloadDirectory + name);
    const auto bytes = ReadBytes(g_downloadDirectory + name);
    EXPECT_EQ(Number(Payload(*file.added), "file_size"), bytes.size());
    EXPECT_EQ(ShotOf(file, 2), name[10] == '1' ? 1u : 2u)
        << "bytes differ from what the camera sent";
    if (name.substr(name.size() - 4) == ".nef") {
      // The time the host is told is the transfer's (a nested one restarts the clock): over
      // the slow link, 3 MB at 20 MB/s take 150 ms.
      const double ms = Number(file.outcome(), "file_download_time");
      EXPECT_GE(ms, std::string(GetParam()) == "slow-link" ? 140 : 0);
      EXPECT_LT(ms, 10000);
    }
  }
  // Each shot is one base name with a .nef and a .jpg, and nothing else is on disk.
  std::sort(names.begin(), names.end());
  const std::vector<std::string> pairs{"Capture0001-0.jpg", "Capture0001-0.nef", "Capture0002.jpg",
                                       "Capture0002.nef"};
  EXPECT_EQ(names, pairs);
  std::vector<std::string> onDisk = pairs;
  onDisk.insert(onDisk.begin() + 2, stranger);
  EXPECT_EQ(FilesIn(m_folder), onDisk) << "no .part file";
  EXPECT_EQ(ReadBytes((m_folder / stranger).string()).size(), 6u);
  // A third shot whose camera is lost after the first block: the file it announced is
  // reported failed under its id, and nothing of it stays on disk. The camera may still hand
  // over the pair's JPEG, or be found gone first.
  SimControl("Type0001.md3", "fault transfer-lost");
  shoot(1);
  for (int tick = 0; tick < 10; ++tick) {
    PumpAndSettle(manager);
    collect();
  }
  SCOPED_TRACE("then:\n" + m_log.str());
  ASSERT_GE(m_files.size(), 5u);
  EXPECT_EQ(m_files[4].name().rfind("Capture0003.", 0), 0u) << "the shot's first file";
  EXPECT_EQ(Number(m_files[4].outcome(), "error_code"), kNkMAIDResult_CameraNotFound);
  for (std::size_t i = 0; i < m_files.size(); ++i) {
    EXPECT_EQ(m_files[i].outcomes.size(), 1u) << m_files[i].name() << ": one outcome each";
    if (i < 5) continue;
    EXPECT_EQ(Text(m_files[i].outcome(), "file_path"), g_downloadDirectory + m_files[i].name());
    onDisk.push_back(m_files[i].name());
  }
  std::sort(onDisk.begin(), onDisk.end());
  EXPECT_EQ(FilesIn(m_folder), onDisk);
}

// A picture the camera will not let us open spoils no other shot: its partner stands alone
// under its own name, announced without a sidecar, and every later pair is one shot's two files.
TEST_P(DownloadHabitsTest, ARefusedItemLeavesEveryOtherPairTrue) {
  onCameraThread();
  shoot(2);
  SimControl("Type0001.md3", "fault open-refused item");
  shoot(1);
  shoot(2);
  shoot(2);
  SCOPED_TRACE("host was told:\n" + m_log.str());
  ASSERT_EQ(m_unannounced.size(), 1u) << "the refused item, reported once";
  ASSERT_EQ(m_files.size(), 7u);
  std::map<std::string, std::set<std::uint32_t>> shotsOfBaseName;
  for (const HostFile& file : m_files) {
    SCOPED_TRACE(file.name());
    ASSERT_EQ(Text(file.outcome(), "file_path"), g_downloadDirectory + file.name());
    const std::uint32_t shot = ShotOf(file, 4);
    EXPECT_NE(shot, 0u) << "bytes of no shot";
    shotsOfBaseName[file.name().substr(0, file.name().size() - 4)].insert(shot);
    // The second shot lost its first item before its other file came.
    EXPECT_EQ(Number(Payload(*file.added), "has_sidecar"), shot == 2 ? 0 : 1);
  }
  const std::map<std::string, std::set<std::uint32_t>> expected{
      {"Capture0001", {1}}, {"Capture0002", {2}}, {"Capture0003", {3}}, {"Capture0004", {4}}};
  EXPECT_EQ(shotsOfBaseName, expected);
}

INSTANTIATE_TEST_SUITE_P(Habits, DownloadHabitsTest,
                         ::testing::Values("ragged-blocks", "late-items", "nested-items",
                                           "slow-link", "camera-button",
                                           "ragged-blocks,nested-items,late-items,jpeg-first"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace_if(
                               name.begin(), name.end(),
                               [](unsigned char c) { return !std::isalnum(c); }, '_');
                           return name;
                         });

}  // namespace