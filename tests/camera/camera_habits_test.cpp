// The camera layer against the habits of real camera modules, run through the simulator: the
// reports the host would see, in order, with their values.

#include "camera/download/file_naming.h"
#include "camera/sdkobject/maid_names.h"
#include "camera/sdkobject/source_presence.h"
#include "camera/sdkobject/nikon_object.h"
#include "tests/camera/sim_fixture.h"

namespace {

using namespace simtest;

class CameraHabitsTest : public ConnectedCameraTest {
 protected:
  void habit(const std::string& name, const char* onOff = "on", const char* id = "1") {
    SimControl("Type0001.md3", "habit " + name + " " + onOff + " " + id);
  }
  // From here the clock reads `ms` for stepAt, which runs one turn of the long operations.
  void clockAt(std::uint32_t ms) { m_clockBase = clock->Now() - ms; }
  bool stepAt(std::uint32_t ms) LB_REQUIRES(g_sdkLock) {
    clock->set(m_clockBase + ms);
    return manager->stepOperations(kCameraSliceMs, m_delivering);
  }
  // A RAW shot whose ".part" file another program holds as soon as it appears. The clock
  // stands still, so the transfer pauses after its first block until the rest comes at once
  // or the camera is unplugged; the camera steps until it has ended, and the clock reads 1000.
  std::unique_ptr<CHeldFile> shootHeldFile(bool unplug = false) LB_REQUIRES(g_sdkLock) {
    SimControl("Type0001.md3", "format raw 1");
    habit("slow-link");
    clockAt(1000);
    camera->capture();
    const std::string part = (m_folder / "Capture0001.nef.part").string();
    for (int i = 0; i < 20 && !std::filesystem::exists(part); ++i) stepAt(1000);
    auto held = std::make_unique<CHeldFile>(part);
    if (unplug) {
      SimControl("Type0001.md3", "unplug 1");
      for (int i = 0; i < 20 && camera->hasDownloads(); ++i) stepAt(1000);
    } else {
      SimControl("Type0001.md3", "clock " + std::to_string(clock->Now() + 900000));
      for (int i = 0; i < 20 && camera->hasDownloads(); ++i)
        manager->stepOperations(kCameraSliceMs, m_delivering);
    }
    clockAt(1000);
    return held;
  }
  void expectFirstRaw(const std::string& name) {
    EXPECT_TRUE(MatchesRaw(ReadBytes((m_folder / name).string()), lbsim::FileSeed(1, 1, true)))
        << name << " holds the whole picture";
  }
  // The one error that tells the host where the whole file is kept.
  void expectKept(const std::string& name, const std::vector<std::string>& files) {
    auto errors = TakeNamed("error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(Number(Payload(*errors[0]), "error_code"), -1005);
    EXPECT_NE(
        Text(Payload(*errors[0]), "error_description").find(g_downloadDirectory + name + "\""),
        std::string::npos);
    EXPECT_EQ(FilesIn(m_folder), files);
    expectFirstRaw(name);
  }
  bool m_delivering = false;
  std::uint32_t m_clockBase = 0;
};

// A whole file held by another program waits for its name after its camera is gone.
TEST_F(CameraHabitsTest, AHeldFileTakesItsNameOnceLetGoThoughItsCameraWent) {
  onCameraThread();
  auto held = shootHeldFile();
  EXPECT_EQ(Names(TakeAll()), Strings{"objectWasAdded"});
  SimControl("Type0001.md3", "unplug 1");
  manager->pumpIdle();
  EXPECT_EQ(Names(TakeAll()), Strings{"deviceRemoved"});
  EXPECT_TRUE(stepAt(30000)) << "still waiting";
  EXPECT_TRUE(TakeAll().empty());
  held.reset();
  EXPECT_FALSE(stepAt(33000));
  auto done = TakeNamed("fileDownloadComplete");
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(Text(Payload(*done[0]), "file_path"), g_downloadDirectory + "Capture0001.nef");
  expectFirstRaw("Capture0001.nef");
  EXPECT_EQ(FilesIn(m_folder), Strings{"Capture0001.nef"});
}

// The process ends while the file waits (its holder has let go): it is kept under a new name.
TEST_F(CameraHabitsTest, AFileStillWaitingWhenTheProcessEndsIsKept) {
  onCameraThread();
  shootHeldFile().reset();
  CNikonModuleManager::DestroyInstance();
  expectKept("Capture0001-kept.nef", {"Capture0001-kept.nef"});
}

// A download cut off while another program holds its ".part" file: the file goes once let go.
TEST_F(CameraHabitsTest, ACutOffDownloadsHeldPartIsRemovedOnceLetGo) {
  onCameraThread();
  auto held = shootHeldFile(true);
  EXPECT_EQ(Taken("error", "error_code"), (Doubles{kNkMAIDResult_CameraNotFound}));
  EXPECT_TRUE(stepAt(1010));
  EXPECT_EQ(FilesIn(m_folder), Strings{"Capture0001.nef.part"});
  held.reset();
  EXPECT_FALSE(stepAt(1020));
  EXPECT_TRUE(FilesIn(m_folder).empty());
}

// Held past its minute: the host hears where the whole file is; it stays, marked whole.
TEST_F(CameraHabitsTest, AFileHeldPastItsMinuteIsKeptWhole) {
  onCameraThread();
  auto held = shootHeldFile();
  std::uint32_t reportedAt = 0;
  for (std::uint32_t ms = 1000; ms < 70000 && reportedAt == 0; ms += 250)
    if (!stepAt(ms)) reportedAt = ms;
  EXPECT_GE(reportedAt, 1000 + kNamingPatienceMs);
  EXPECT_LE(reportedAt, 1000 + kNamingPatienceMs + 2000);
  expectKept("Capture0001.nef.part", {"Capture0001.nef.part", "Capture0001.nef.part.whole"});
}

// A rescan finds the camera gone mid-transfer: the waiting release and the file part-way are
// each told the host once, no ".part" stays, and the pair's unannounced other file just goes.
TEST_F(CameraHabitsTest, ACameraFoundGoneEndsWhatItHadUnderWay) {
  onCameraThread();
  SimControl("Type0001.md3", "format raw+jpeg 1");
  habit("slow-link");  // the clock stands still: the RAW file's first block, then nothing
  clockAt(1000);
  camera->capture();
  for (int i = 0; i < 20 && FilesIn(m_folder).empty(); ++i) stepAt(1000);
  const auto added = TakeNamed("objectWasAdded");
  ASSERT_EQ(added.size(), 1u);
  SimControl("Type0001.md3", "fault capture-hangs");
  camera->capture();
  SimControl("Type0001.md3", "unplug 1");
  module1()->scanAndInformHostOfCameraChanges();
  module1()->deleteRemovedCameras();
  const auto messages = TakeAll();
  ASSERT_EQ(Names(messages), (Strings{"deviceRemoved", "error", "error"}));
  EXPECT_EQ(Number(Payload(*messages[1]), "error_code"), kReleaseNotEnded);
  EXPECT_NE(Text(Payload(*messages[1]), "error_description").find("the camera went"),
            std::string::npos);
  EXPECT_EQ(Number(Payload(*messages[2]), "error_code"), -1007);
  EXPECT_EQ(Number(Payload(*messages[2]), "capture_id"), Number(Payload(*added[0]), "capture_id"));
  EXPECT_TRUE(FilesIn(m_folder).empty());
}

// With each habit the host gets the file or one error with the camera's reason; the camera
// still takes pictures afterwards.
TEST_F(CameraHabitsTest, AReleaseBringsItsFileOrOneErrorWithEachHabit) {
  onCameraThread();
  const std::pair<const char*, int> cases[] = {{"sync-complete", 0},        {"async-busy", 0},
                                               {"events-in-calls", 0},      {"refused-start", 152},
                                               {"refused-start-late", 131}, {"out-of-focus", 137}};
  for (const auto& [name, refusal] : cases) {
    SCOPED_TRACE(name);
    habit(name);
    CaptureAndSettle(camera, manager);
    for (int tick = 0; tick < 5; ++tick) PumpAndSettle(manager);  // a late completion lands here
    auto messages = TakeAll();
    if (refusal == 0) {
      EXPECT_EQ(Names(messages), (Strings{"objectWasAdded", "fileDownloadComplete"}));
    } else {
      ASSERT_EQ(Names(messages), Strings{"error"});
      const ZnLuaTETable* error = Payload(*messages.back());
      EXPECT_EQ(Number(error, "error_code"), refusal);
      EXPECT_NE(Text(error, "error_description").find(ResultName(refusal)), std::string::npos);
      EXPECT_EQ(Number(error, "capture_id"), -12345.0);  // no file was announced
    }
    habit(name, "off");
    CaptureAndSettle(camera, manager);
    EXPECT_EQ(TakeNamed("fileDownloadComplete").size(), 1u);
  }
}

// A release that never completes is reported once at its bound, which a file from the
// camera's own button meanwhile neither ends nor extends; or at the presence check that finds
// the camera gone.
TEST_F(CameraHabitsTest, HungReleaseEndsAtItsBoundOrWhenTheCameraGoes) {
  onCameraThread();
  clockAt(0);
  SimControl("Type0001.md3", "fault capture-hangs");
  camera->capture();
  EXPECT_TRUE(stepAt(1000));
  SimControl("Type0001.md3", "shoot 1");  // the camera's own button, mid-release
  std::size_t buttonFiles = 0;
  for (std::uint32_t ms = 2000; ms < 12000 && buttonFiles == 0; ms += 10) {
    stepAt(ms);
    buttonFiles = TakeNamed("fileDownloadComplete").size();
  }
  EXPECT_EQ(buttonFiles, 1u) << "the button's file, as it came";
  // The release's own exposure (the camera is at 1/250) comes on top of the bound.
  const std::uint32_t bound = CNikonObject::startTimeoutMs() + 4;
  EXPECT_TRUE(stepAt(bound - 1)) << "a millisecond before its bound";
  EXPECT_FALSE(stepAt(bound));
  EXPECT_EQ(Taken("error", "error_code"), (Doubles{kReleaseNotEnded}));
  // Camera 2 hangs too, and is unplugged: the wait ends at the next presence check.
  HandleConnectDevice(3, DeviceParams(0x102).get());
  CCamera* second = module1()->m_currentCamera;
  ASSERT_NE(second, nullptr);
  SimControl("Type0001.md3", "fault capture-hangs");
  clockAt(200000);
  second->capture();
  EXPECT_TRUE(stepAt(200000 + kPresenceCheckMs - 1));
  SimControl("Type0001.md3", "unplug 2");
  EXPECT_TRUE(stepAt(200000 + kPresenceCheckMs - 1)) << "no check before its time";
  EXPECT_FALSE(stepAt(200000 + kPresenceCheckMs));
  EXPECT_EQ(Taken("error", "error_code"), (Doubles{kReleaseNotEnded}));
}

// A release while the camera is busy with a file is refused at once, and the file goes on. A
// slow transfer that keeps delivering goes on; one that gets nothing ends at its bound as a
// failed download of the file it announced.
TEST_F(CameraHabitsTest, ABusyCameraAndASlowLinkGetTheirOwnAnswers) {
  onCameraThread();
  SimControl("Type0001.md3", "format raw 1");
  habit("slow-link");
  habit("busy-while-transferring");
  SimControl("Type0001.md3", "rate 20 1");  // 12 MiB in about 0.6 s, a block every 50 ms
  camera->capture();
  for (int i = 0; i < 200 && TakeNamed("objectWasAdded").empty(); ++i) {
    manager->stepOperations(kCameraSliceMs, m_delivering);
    clock->advance(1);
  }
  camera->capture();  // while the file transfers
  EXPECT_EQ(Taken("error", "error_code"), (Doubles{kNkMAIDResult_DeviceBusy}));
  SettleOperations(manager);
  EXPECT_EQ(TakeNamed("fileDownloadComplete").size(), 1u);
  CNikonObject::setTransferInactivityMs(400);
  CaptureAndSettle(camera, manager);
  EXPECT_EQ(Names(TakeAll()), (Strings{"objectWasAdded", "fileDownloadComplete"}));
  clockAt(5000);
  SimControl("Type0001.md3", "rate 1 1");  // the first block, then nothing for a long while
  camera->capture();
  for (int i = 0; i < 20; ++i) stepAt(5000);
  ASSERT_EQ(TakeNamed("objectWasAdded").size(), 1u);
  const std::uint32_t bound = CNikonObject::transferInactivityMs();
  EXPECT_TRUE(stepAt(5000 + bound - 1));
  EXPECT_FALSE(stepAt(5000 + bound));
  EXPECT_EQ(Taken("error", "error_code"), (Doubles{-1007}));
  EXPECT_EQ(FilesIn(m_folder), (Strings{"Capture0001.nef", "Capture0002.nef"})) << "no .part left";
}

}  // namespace
