// The host link never waits for a camera, as the host lives it through the process's pipes.
// (How fast each answer comes is the benchmark's to measure; here the order shows it. What
// "shutdown" lets finish is the worker's, tests/bridge.)
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/capture_ledger.h"
#include "tests/e2e/e2e_support.h"
#include "lbhost/client/child_process.h"

namespace {

constexpr const char kSlowCamera[] =
    "camera 1 type=43 exposure=3 format=raw raw-bytes=20000000 habits=slow-link rate=10 "
    "name=D850\n";

// How namesUntil() shows the answer to request `id`.
std::string Ok(std::uint32_t id) { return "ok#" + std::to_string(id); }

class HostLinkTest : public SimulatedCameraTest {
 protected:
  void SetUp() override { startConnected(kSlowCamera); }
  // Starts the process on `scenario` and connects its camera; what that brought is dropped.
  void startConnected(const char* scenario) {
    start(scenario);
    ListAndConnect(m_session);
    client().takeReceived();
  }
  // The names of the messages that came, in order, until one named `last` (or 15 s).
  std::vector<std::string> namesUntil(const std::string& last) {
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) {
      for (const auto& m : client().collectFor(50)) {
        names.push_back(m.nameText() + (m.requestId ? "#" + std::to_string(m.requestId) : ""));
        if (m.nameText() == last) return names;
      }
    }
    return names;
  }
  bool partLeft() {
    for (const std::string& name : m_downloads.files())
      if (name.size() > 5 && name.substr(name.size() - 5) == ".part") return true;
    return false;
  }
};

// A 3 s exposure the module takes inside its release call, then a transfer of two seconds:
// "doCapture" is taken at once, requests are answered while the shutter is open (only this
// shows that the process gives each module a thread of its own) and while the file crosses,
// which is announced at its first block.
TEST_F(HostLinkTest, RequestsAreAnsweredThroughALongExposureAndWhileAFileTransfers) {
  control("habit sync-complete on 1");
  control("exposure-ms 3000 1");
  ASSERT_NE(client().send("doCapture"), 0u);
  const std::uint32_t status = client().send("isLiveViewOn");
  const std::uint32_t devices = client().send("listDevices");
  EXPECT_EQ(namesUntil("objectWasAdded"),
            (std::vector<std::string>{Ok(status), Ok(devices), "objectWasAdded"}));
  ZnLuaTETable camera;
  camera.setNumber("device_id", 0x101);
  const std::uint32_t settings = client().send("getCameraSettings", &camera);
  EXPECT_EQ(namesUntil("fileDownloadComplete"),
            (std::vector<std::string>{Ok(settings), "fileDownloadComplete"}))
      << "the answer before the file is complete";
  ExpectOrderlyShutdown(m_session);
}

// A host that leaves ends the process at once whatever is under way: a transfer (whose
// ".part" goes) and a release that never completes (whose wait sees the broken pipe).
TEST_F(HostLinkTest, AHostThatLeavesMidTransferAndDuringAHungReleaseEndsTheProcess) {
  ASSERT_NE(client().send("doCapture"), 0u);
  ASSERT_TRUE(client().waitForName("objectWasAdded", 1500));
  control("fault capture-hangs");
  ASSERT_NE(client().send("doCapture"), 0u);
  // The camera's commands run in order: once a later one is answered, the release is under way.
  ZnLuaTETable camera;
  camera.setNumber("device_id", 0x101);
  ASSERT_NE(client().send("getCameraSettings", &camera), 0u);
  ASSERT_TRUE(client().waitForName("ok", 5000));
  client().closePipes();
  EXPECT_EQ(client().process().waitForExit(5000), std::optional<unsigned long>(0));
  EXPECT_FALSE(partLeft());
}

// A camera whose new files another program holds open for a moment, as virus scanners,
// indexers and sync clients do on Windows: file_holder.exe opens each new ".part" file without
// sharing delete, so its rename is refused while it holds it. The RAW files take 200 ms over
// the slow link, so the holder is sure to find each one while it is written.
class HeldFileTest : public HostLinkTest {
 protected:
  void SetUp() override {
    startConnected(
        "camera 1 type=43 exposure=3 format=raw raw-bytes=2000000 habits=slow-link rate=10 "
        "name=D850\n");
  }
};

// A host that leaves while a whole file is held gets the care "shutdown" gives it: Windows'
// refused rename is waited out, and the file takes its name once let go, before the process
// ends. (How long a file may wait, what the host is told and what is kept past a minute are
// the camera layer's, tests/camera/camera_habits_test.cpp; the chaos run holds files through
// whole sessions.)
TEST_F(HeldFileTest, AHostThatLeavesWhileAFileIsHeldLeavesItNamed) {
  CChildProcess holder;  // holds each new file for 2 s, for 7 s
  holder.sendOutputTo(m_downloads.file("holder.txt"), m_downloads.file("holder-errors.txt"));
  std::string error;
  ASSERT_TRUE(holder.start(BuiltProgram("file_holder.exe"),
                           {m_downloads.path(), ".part", "2000", "7000"}, {}, &error))
      << error;
  const std::string said = m_downloads.file("holder.txt");
  auto wait = [](auto done) {
    for (const DWORD start = GetTickCount(); !done() && GetTickCount() - start < 5000;) Sleep(10);
  };
  wait([&] { return ReadFile(said).find("watching") != std::string::npos; });
  ASSERT_NE(client().send("doCapture"), 0u);
  const std::string marker = m_downloads.file("Capture0001.nef.part.whole");
  wait([&] { return platform::fileExists(marker); });
  ASSERT_TRUE(platform::fileExists(marker)) << "whole and held";
  client().closePipes();
  EXPECT_TRUE(client().process().waitForExit(15000).has_value());
  const auto held = ReadBytes(std::filesystem::u8path(m_downloads.file("Capture0001.nef")));
  EXPECT_TRUE(held.size() == 2000000 && MatchesRaw(held, lbsim::FileSeed(1, 1, true)));
  EXPECT_FALSE(partLeft());
  EXPECT_FALSE(platform::fileExists(marker));
}

}  // namespace
