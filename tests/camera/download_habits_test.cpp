// Downloads from simulated cameras with each habit of real modules that shapes a transfer; what
// the host is told and what lands on disk are checked byte for byte.

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

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

  // The shot of the simulated camera whose bytes `file` holds (1 to `shots`), or 0.
  static std::uint32_t ShotOf(const HostFile& file, std::uint32_t shots) {
    const std::string name = file.name();
    const bool raw = name.substr(name.size() - 4) == ".nef";
    const auto bytes = ReadBytes(g_downloadDirectory + name);
    for (std::uint32_t shot = 1; shot <= shots; ++shot)
      if ((bytes.size() == kRawBytes) == raw && SimCameraMade(bytes, 1, shot, kRawBytes))
        return shot;
    return 0;
  }

  int m_buttonShots = 0;
  std::vector<HostFile> m_files;                                // in the order they were announced
  std::vector<std::unique_ptr<OutgoingMessage>> m_unannounced;  // errors without a capture id
  std::ostringstream m_log;  // what the host was told, for failure reports
};

// An earlier file holds shot 1's name: the pair moves off it whole. A refused item (shot 3)
// leaves its partner alone, without a sidecar, and spoils no other shot.
TEST_P(DownloadHabitsTest, EveryFileArrivesWholeOrIsReported) {
  onCameraThread();
  const std::string stranger = "Capture0001.nef";
  std::ofstream(m_folder / stranger) << "theirs";
  shoot(2);
  shoot(2);
  SimControl("Type0001.md3", "fault open-refused item");
  shoot(1);
  shoot(2);
  SCOPED_TRACE("host was told:\n" + m_log.str());
  // Nested, each whole pair's second file came inside its first one's transfer.
  const bool nested = std::string(GetParam()).find("nested-items") != std::string::npos;
  auto* midTransfer = SimFunction<unsigned()>("Type0001.md3", "LbSimAnnouncedMidTransfer");
  ASSERT_TRUE(midTransfer);
  EXPECT_EQ(midTransfer(), nested ? 3u : 0u);
  ASSERT_EQ(m_unannounced.size(), 1u) << "the refused item, reported once";
  ASSERT_EQ(m_files.size(), 7u);
  std::map<std::string, std::multiset<std::uint32_t>> shotsOfBaseName;
  std::vector<std::string> onDisk{stranger};
  for (const HostFile& file : m_files) {
    const std::string name = file.name();
    SCOPED_TRACE(name);
    onDisk.push_back(name);
    EXPECT_EQ(file.outcomes.size(), 1u) << "one outcome each";
    ASSERT_EQ(Text(file.outcome(), "file_path"), g_downloadDirectory + name);
    const std::uint32_t shot = ShotOf(file, 4);
    shotsOfBaseName[name.substr(0, name.size() - 4)].insert(shot);
    EXPECT_EQ(Number(Payload(*file.added), "has_sidecar"), shot == 3 ? 0 : 1);
    if (name.substr(name.size() - 4) == ".nef") {
      // The transfer's time (a nested one restarts the clock): 3 MB at 20 MB/s take 150 ms.
      const double ms = Number(file.outcome(), "file_download_time");
      EXPECT_GE(ms, std::string(GetParam()) == "slow-link" ? 140 : 0);
      EXPECT_LT(ms, 10000);
    }
  }
  const std::map<std::string, std::multiset<std::uint32_t>> expected{{"Capture0001-0", {1, 1}},
                                                                     {"Capture0002", {2, 2}},
                                                                     {"Capture0003", {3}},
                                                                     {"Capture0004", {4, 4}}};
  EXPECT_EQ(shotsOfBaseName, expected);
  std::sort(onDisk.begin(), onDisk.end());
  EXPECT_EQ(FilesIn(m_folder), onDisk) << "no .part file";
  EXPECT_EQ(ReadBytes((m_folder / stranger).string()).size(), 6u);
}

INSTANTIATE_TEST_SUITE_P(Habits, DownloadHabitsTest,
                         ::testing::Values("late-items", "nested-items", "slow-link",
                                           "camera-button",
                                           "ragged-blocks,nested-items,late-items,jpeg-first"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace