// Capture, downloads, live view and focus on the simulated cameras: the files a shot leaves
// in the download folder and the messages that announce them, what a failing transfer leaves
// behind, live-view frames, and the file naming rules.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bridge/camera_commands.h"
#include "bridge/notifications.h"
#include "camera/camera/camera.h"
#include "camera/download/capture_file_names.h"
#include "camera/download/content_data.h"
#include "camera/download/download_directory.h"
#include "camera/sdkobject/nikon_object.h"
#include "platform/platform.h"
#include "sim/sim_content.h"
#include "tests/camera/sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace simtest;

bool IsJpeg(const std::vector<unsigned char>& bytes) {
  return bytes.size() > 4 && bytes[0] == 0xFF && bytes[1] == 0xD8 &&
         bytes[bytes.size() - 2] == 0xFF && bytes[bytes.size() - 1] == 0xD9;
}

bool MatchesRaw(const std::vector<unsigned char>& bytes, std::uint64_t seed) {
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] != lbsim::RawByte(seed, i)) return false;
  return true;
}

class CaptureTest : public ConnectedCameraTest {
 protected:
  std::vector<std::string> filesOnDisk() const { return FilesIn(m_folder); }
};

TEST_F(CaptureTest, ShotsBecomeNumberedFilesAnnouncedThenCompleted) {
  camera->capture();
  auto messages = TakeAll();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]->name->getString(), "objectWasAdded");
  EXPECT_EQ(Text(Payload(*messages[0]), "file_name"), "Capture0001.jpg");
  EXPECT_EQ(Number(Payload(*messages[0]), "has_sidecar"), 0);
  EXPECT_EQ(messages[1]->name->getString(), "fileDownloadComplete");
  const double id = Number(Payload(*messages[0]), "capture_id");
  EXPECT_EQ(Number(Payload(*messages[1]), "capture_id"), id);
  const std::string path = Text(Payload(*messages[1]), "file_path");
  EXPECT_EQ(path, g_downloadDirectory + "Capture0001.jpg");
  const auto jpeg = ReadBytes(path);
  EXPECT_TRUE(IsJpeg(jpeg));
  EXPECT_EQ(Number(Payload(*messages[0]), "file_size"), jpeg.size());
  EXPECT_GE(Number(Payload(*messages[1]), "file_download_time"), 0);

  // RAW+JPEG: both files share the next number; the pair is reported on both.
  SimControl("Type0001.md3", "format raw+jpeg 1");
  camera->capture();
  messages = TakeAll();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(Text(Payload(*messages[0]), "file_name"), "Capture0002.nef");
  EXPECT_EQ(Text(Payload(*messages[2]), "file_name"), "Capture0002.jpg");
  EXPECT_EQ(Number(Payload(*messages[0]), "has_sidecar"), 1);
  EXPECT_EQ(Number(Payload(*messages[2]), "has_sidecar"), 1);
  EXPECT_TRUE(MatchesRaw(ReadBytes(Text(Payload(*messages[1]), "file_path")),
                         lbsim::FileSeed(1, 2, true)));

  // The number after a pair moves on by one.
  SimControl("Type0001.md3", "format jpeg 1");
  camera->capture();
  EXPECT_EQ(Text(Payload(*TakeNamed("objectWasAdded").at(0)), "file_name"), "Capture0003.jpg");
  EXPECT_EQ(filesOnDisk(), (std::vector<std::string>{"Capture0001.jpg", "Capture0002.jpg",
                                                      "Capture0002.nef", "Capture0003.jpg"}));
  EXPECT_TRUE(manager->m_pendingItems.empty());
}

TEST_F(CaptureTest, ExistingFileIsNeverOverwritten) {
  std::ofstream(m_folder / "Capture0001.jpg") << "an older picture";
  camera->capture();
  auto done = TakeNamed("fileDownloadComplete");
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(Text(Payload(*done[0]), "file_path"), g_downloadDirectory + "Capture0001-0.jpg");
  EXPECT_EQ(ReadBytes((m_folder / "Capture0001.jpg").string()).size(), 16u);
}

TEST_F(CaptureTest, BothFilesOfAPairTakeOneBaseNameFreeForBoth) {
  // Only the JPEG name is taken, by an older file and by a download still being written:
  // the pair moves past both together instead of splitting over two base names.
  std::ofstream(m_folder / "Capture0001.jpg") << "older";
  std::ofstream(m_folder / "Capture0001-0.jpg.part") << "being written";
  SimControl("Type0001.md3", "format raw+jpeg 1");
  camera->capture();
  auto added = TakeNamed("objectWasAdded");
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(Text(Payload(*added[0]), "file_name"), "Capture0001-1.nef");
  EXPECT_EQ(Text(Payload(*added[1]), "file_name"), "Capture0001-1.jpg");
  EXPECT_EQ(filesOnDisk(), (std::vector<std::string>{"Capture0001-0.jpg.part", "Capture0001-1.jpg",
                                                      "Capture0001-1.nef", "Capture0001.jpg"}));
}

TEST_F(CaptureTest, ACameraMadeAnewNeverReusesABaseName) {
  camera->capture();
  ASSERT_EQ(TakeNamed("fileDownloadComplete").size(), 1u);
  // The host moves the file away, and the camera is unplugged and plugged in again: the new
  // camera object's first shot must not take the name of the old object's first.
  fs::remove(m_folder / "Capture0001.jpg");
  SimControl("Type0001.md3", "unplug 1");
  manager->pumpIdle();
  SimControl("Type0001.md3", "plug 1");
  manager->pumpIdle();
  HandleConnectDevice(3, DeviceParams(0x101).get());
  CCamera* anew = module1()->m_currentCamera;
  ASSERT_NE(anew, nullptr);
  TakeAll();
  anew->capture();
  auto added = TakeNamed("objectWasAdded");
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(Text(Payload(*added[0]), "file_name"), "Capture0002.jpg");
}

TEST_F(CaptureTest, NoUsableFolderFailsTheDownloadWithoutTouchingTheCurrentFolder) {
  // An empty or relative folder would put the file wherever the process happens to run.
  const fs::path working = fs::current_path();
  fs::current_path(m_folder);
  for (const char* folder : {"", "relative/"}) {
    fs::create_directories(m_folder / "relative");
    g_downloadDirectory = folder;
    camera->capture();
    EXPECT_TRUE(TakeNamed("objectWasAdded").empty()) << '"' << folder << '"';
    EXPECT_TRUE(TakeNamed("fileDownloadComplete").empty()) << '"' << folder << '"';
    fs::remove(m_folder / "relative");
    EXPECT_TRUE(filesOnDisk().empty()) << '"' << folder << '"';
  }
  fs::current_path(working);
}

TEST_F(CaptureTest, BrokenTransfersLeaveNoFileAndNoCompletion) {
  // The camera is lost halfway: no completion, nothing left on disk, and the camera goes.
  SimControl("Type0001.md3", "format raw 1");
  SimControl("Type0001.md3", "fault transfer-lost");
  camera->capture();
  EXPECT_EQ(TakeNamed("fileDownloadComplete").size(), 0u);
  EXPECT_TRUE(filesOnDisk().empty());
  EXPECT_TRUE(camera->m_lost);
  manager->pumpIdle();
  EXPECT_EQ(TakeNamed("deviceRemoved").size(), 1u);
}

TEST_F(CaptureTest, FileThatCannotBeCreatedIsReportedButNeverAnnounced) {
  g_downloadDirectory = m_folder.string() + "/no-such-folder/";
  camera->capture();
  auto messages = TakeAll();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->name->getString(), "error");
  EXPECT_EQ(Number(Payload(*messages[0]), "error_code"), kDownloadCannotCreate);
  EXPECT_EQ(Number(Payload(*messages[0]), "capture_id"), -12345);  // nothing was announced
  EXPECT_NE(Text(Payload(*messages[0]), "error_description").find("no-such-folder"), std::string::npos);
  EXPECT_TRUE(filesOnDisk().empty());
  // The next shot into a usable folder works, under the next number.
  g_downloadDirectory = m_folder.string() + "/";
  camera->capture();
  auto added = TakeNamed("objectWasAdded");
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(Text(Payload(*added[0]), "file_name"), "Capture0002.jpg");
}

TEST_F(CaptureTest, ShortWriteRemovesTheFileAndIsNotReportedComplete) {
  // A file-size limit makes the final write fall short, as a full disk would.
  SimControl("Type0001.md3", "format raw 1");
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1024 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  camera->capture();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);

  auto messages = TakeAll();
  ASSERT_EQ(messages.size(), 2u);  // the file was announced at its first block, never completed
  EXPECT_EQ(messages[0]->name->getString(), "objectWasAdded");
  EXPECT_EQ(messages[1]->name->getString(), "error");
  EXPECT_EQ(Number(Payload(*messages[1]), "error_code"), kDownloadWriteFailed);
  EXPECT_EQ(Number(Payload(*messages[1]), "capture_id"), Number(Payload(*messages[0]), "capture_id"));
  EXPECT_TRUE(filesOnDisk().empty());
  camera->capture();  // with room again, the next shot is complete
  EXPECT_EQ(TakeNamed("fileDownloadComplete").size(), 1u);
}

TEST_F(CaptureTest, HostileBlocksAndMissingSizeStillGiveTheRightFile) {
  // A block whose offset plus length wraps around 32 bits is dropped, not copied.
  SimControl("Type0001.md3", "format raw 1");
  SimControl("Type0001.md3", "fault block-wrap");
  camera->capture();
  auto done = TakeNamed("fileDownloadComplete");
  ASSERT_EQ(done.size(), 1u);
  EXPECT_TRUE(MatchesRaw(ReadBytes(Text(Payload(*done[0]), "file_path")), lbsim::FileSeed(1, 1, true)));

  // Without a readable size the blocks' total length sizes the file.
  SimControl("Type0001.md3", "fault storedbytes-unreadable");
  camera->capture();
  auto messages = TakeAll();
  ASSERT_EQ(messages.size(), 2u);
  const auto raw = ReadBytes(Text(Payload(*messages[1]), "file_path"));
  EXPECT_EQ(raw.size(), 12u * 1024u * 1024u);
  EXPECT_TRUE(MatchesRaw(raw, lbsim::FileSeed(1, 2, true)));

  // An absurd size is no size: the file is not 2 GB of zeros behind the picture.
  SimControl("Type0001.md3", "fault storedbytes 2147483000");
  camera->capture();
  messages = TakeAll();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(Number(Payload(*messages[0]), "file_size"), 12.0 * 1024 * 1024);
  EXPECT_TRUE(MatchesRaw(ReadBytes(Text(Payload(*messages[1]), "file_path")), lbsim::FileSeed(1, 3, true)));
}

TEST_F(CaptureTest, CaptureThatNeverCompletesEnds) {
  CNikonObject::setStartTimeoutMs(200);
  SimControl("Type0001.md3", "fault capture-hangs");
  camera->capture();  // returns: the test would hang otherwise
  EXPECT_TRUE(TakeAll().empty());
  camera->capture();  // the camera works again afterwards
  EXPECT_EQ(TakeNamed("fileDownloadComplete").size(), 1u);
}

TEST_F(CaptureTest, LiveViewFramesAreJpegWithoutTheHeader) {
  void* bytes = nullptr;
  int size = 0;
  EXPECT_NE(camera->getLiveViewImage(bytes, size), 0);  // live view is off

  EXPECT_TRUE(camera->startLiveView());
  EXPECT_TRUE(camera->m_liveViewOn);
  maid::ULONG status = 0;
  ASSERT_EQ(camera->getUnsignedValue(kNkMAIDCapability_LiveViewStatus, status), 0);
  EXPECT_EQ(status, 1u);

  // The idle tick sends frames while live view is on (their bytes are checked where the host
  // receives them); a frame shorter than its header is skipped.
  manager->pumpIdle();
  EXPECT_EQ(TakeNamed("liveViewImage").size(), 1u);
  SimControl("Type0001.md3", "fault liveview-short");
  bytes = nullptr;
  EXPECT_NE(camera->getLiveViewImage(bytes, size), 0);
  EXPECT_EQ(bytes, nullptr);

  EXPECT_TRUE(camera->stopLiveView());
  EXPECT_FALSE(camera->m_liveViewOn);

  // Type0023 cameras take 3 to switch on.
  HandleConnectDevice(3, DeviceParams(0x1701).get());
  CCamera* other = module23()->m_currentCamera;
  ASSERT_NE(other, nullptr);
  EXPECT_TRUE(other->startLiveView());
  ASSERT_EQ(other->getUnsignedValue(kNkMAIDCapability_LiveViewStatus, status), 0);
  EXPECT_EQ(status, 3u);
}

TEST_F(CaptureTest, FocusStepsAndContrastAutoFocus) {
  auto step = [&](double direction) {
    ZnLuaTETable params;
    params.setNumber("focus_direction", direction);
    camera->driveFocus(&params);
    maid::MaidRange range{};
    camera->capGet(kNkMAIDCapability_MFDriveStep, kNkMAIDDataType_RangePtr, &range);
    return range.lfValue;
  };
  EXPECT_EQ(step(1), 500.0);
  EXPECT_EQ(step(-2), 1000.0);
  EXPECT_EQ(step(1.9), 500.0);
  EXPECT_EQ(step(-0.5), 2000.0);
  EXPECT_EQ(step(1e300), 2000.0);  // saturated, not undefined

  DoAutoFocus(4);
  auto reply = TakeAll();
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(Text(Payload(*reply[0]), "status"), "AutoFocusOff");  // the state before
  EXPECT_TRUE(camera->m_autoFocusOn);
  DoAutoFocus(5);
  EXPECT_EQ(Text(Payload(*TakeAll().at(0)), "status"), "AutoFocusOn");
  EXPECT_FALSE(camera->m_autoFocusOn);
}

// File naming, on its own.
class UniqueFilePath : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = PrivateTempPath("lb_unique_path_test") + "/";
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  void touch(const std::string& name) { std::ofstream(dir + name) << "x"; }
  std::string dir;
};

TEST_F(UniqueFilePath, SuffixGoesBeforeTheLastExtension) {
  EXPECT_EQ(MakeUniqueFilePath(dir, "Capture0001.jpg"), dir + "Capture0001.jpg");
  touch("Capture0001.jpg");
  EXPECT_EQ(MakeUniqueFilePath(dir, "Capture0001.jpg"), dir + "Capture0001-0.jpg");
  touch("Capture0001-0.jpg");
  EXPECT_EQ(MakeUniqueFilePath(dir, "Capture0001.jpg"), dir + "Capture0001-1.jpg");
  touch("Capture0001");
  EXPECT_EQ(MakeUniqueFilePath(dir, "Capture0001"), dir + "Capture0001-0");
  touch("a.b.jpg");
  EXPECT_EQ(MakeUniqueFilePath(dir, "a.b.jpg"), dir + "a.b-0.jpg");
  const std::string longName(300, 'n');
  touch(longName.substr(0, 200) + ".jpg");
  EXPECT_EQ(MakeUniqueFilePath(dir, longName.substr(0, 200) + ".jpg"), dir + longName.substr(0, 200) + "-0.jpg");
}

TEST_F(UniqueFilePath, SuffixesGoOnPastNineAndKeepTheExtension) {
  touch("Capture0001.nef");
  for (int i = 0; i < 10; ++i) touch("Capture0001-" + std::to_string(i) + ".nef");
  EXPECT_EQ(MakeUniqueFilePath(dir, "Capture0001.nef"), dir + "Capture0001-10.nef");
  touch("Capture0001-10.nef");
  EXPECT_EQ(MakeUniqueFilePath(dir, "Capture0001.nef"), dir + "Capture0001-11.nef");
  // Even past every numbered suffix the made-up one keeps the extension.
  const std::string stem = MakeUniqueStem(dir, "Capture0001", {".nef"},
      [](const std::string& name) { return name.find_first_not_of("Capture0001-0123456789") ==
                                           std::string::npos; });
  ASSERT_FALSE(stem.empty());
  EXPECT_EQ(stem.rfind("Capture0001-", 0), 0u);
  EXPECT_FALSE(fs::exists(dir + stem + ".nef"));
}

TEST_F(UniqueFilePath, OnlyExistingAbsoluteFoldersAreChosen) {
  // A folder that is gone still gives its first name: creating the file is what fails then.
  EXPECT_EQ(MakeUniqueFilePath(dir + "gone/", "Capture0001.nef"), dir + "gone/Capture0001.nef");

  // The download folder: the first candidate that is an existing absolute folder.
  const std::string bare = dir.substr(0, dir.size() - 1);
  EXPECT_EQ(ChooseDownloadDirectory({"", "relative", dir + "gone/", bare}), dir);
  EXPECT_EQ(ChooseDownloadDirectory({dir, "/"}), dir);
  fs::create_directories("relative");
  EXPECT_EQ(ChooseDownloadDirectory({"relative/", "", dir + "gone"}), "");
  fs::remove("relative");
}

TEST(CaptureFileNames, ExtensionsAndWidth) {
  EXPECT_STREQ(ExtensionForFileDataType(1), ".jpg");
  EXPECT_STREQ(ExtensionForFileDataType(2), ".tif");
  EXPECT_STREQ(ExtensionForFileDataType(4), ".nef");
  EXPECT_STREQ(ExtensionForFileDataType(0x101), ".ndf");
  EXPECT_STREQ(ExtensionForFileDataType(3), ".dat");
}

}  // namespace
