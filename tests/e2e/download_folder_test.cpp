// Where the process puts downloads when the user's temporary folder is unusual: too long for
// the ordinary path functions, gone, or a file. The process takes its folder from TMP and TEMP,
// which the test gives it. Files that land in the fallback folder (the prefix's own) are
// removed.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/e2e/e2e_support.h"

namespace {

// One JPEG shot on the first camera of a process whose TMP and TEMP name `temporaryFolder`
// lands whole in `expectedFolder`; the file is removed.
void ExpectShotLandsIn(const std::string& temporaryFolder, const std::string& expectedFolder) {
  CHostSession session;
  std::string error;
  ASSERT_TRUE(session.start(BuiltProgram("lensbridge.exe"), 15000, &error,
                            {{"TMP", temporaryFolder}, {"TEMP", temporaryFolder}}))
      << error;
  ListAndConnect(session);
  ASSERT_NE(session.client().send("doCapture"), 0u);
  const auto done = session.client().waitForName("fileDownloadComplete", 30000);
  ASSERT_TRUE(done) << "the picture never came";
  ExpectOrderlyShutdown(session);
  const std::string path = TextIn(*done, "file_path");
  EXPECT_EQ(path.substr(0, path.find_last_of('\\') + 1), expectedFolder);
  EXPECT_TRUE(IsJpeg(ReadFile(path))) << path;
  DeleteFileW(platform::utf8ToWide(path).c_str());
}

TEST(DownloadFolder, ATemporaryFolderPastMaxPathStillTakesTheDownload) {
  // Nested folders in a folder of the test's own, each short enough, together far past
  // MAX_PATH; they are removed here, through the long form, before the test folder goes.
  CTestDownloadFolder root(CurrentTestName());
  ASSERT_TRUE(root.valid());
  std::string folder = "\\\\?\\" + root.path();
  std::vector<std::string> created;
  for (int i = 0; folder.size() < 320; ++i) {
    folder += "lb_long_folder_" + std::string(40, 'a' + i) + "\\";
    ASSERT_TRUE(CreateDirectoryW(platform::utf8ToWide(folder).c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS)
        << folder;
    created.push_back(folder);
  }
  // Named as a user's settings would. Windows returns such a folder, and the process writes
  // into it through the "\\?\" form; Wine's GetTempPathW refuses one past MAX_PATH (error
  // 206), and the process then takes the fallback folder.
  ExpectShotLandsIn(folder.substr(4), IsRunningUnderWine() ? LocalTemporaryFolder() : folder);
  for (auto it = created.rbegin(); it != created.rend(); ++it)
    EXPECT_TRUE(RemoveDirectoryW(platform::utf8ToWide(*it).c_str())) << "left behind: " << *it;
}

TEST(DownloadFolder, AMissingTemporaryFolderFallsBackToTheLocalApplicationData) {
  ExpectShotLandsIn("C:\\lb_no_such_temporary_folder", LocalTemporaryFolder());
}

// A picture that cannot arrive because a file stands where the download folder should be is
// reported to the host, never announced, and the file in the way is left as it was.
using FolderInTheWayTest = SimulatedCameraTest;

TEST_F(FolderInTheWayTest, AFileWhereTheFolderShouldBeIsReported) {
  const std::string folder = m_downloads.file("pictures");
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  start("camera 1 type=43 exposure=3 name=D850\n", folder + "\\");
  ListAndConnect(m_session);
  // The folder is replaced by a file once the process runs: nothing can be created in it.
  ASSERT_TRUE(RemoveDirectoryA(folder.c_str()));
  std::ofstream(folder, std::ios::binary) << "in the way";
  ASSERT_NE(client().send("doCapture"), 0u);
  const auto messages = DownloadMessages(client(), 1);
  ASSERT_EQ(messages.size(), 1u) << "never announced";
  ASSERT_EQ(messages[0].nameText(), "error");
  EXPECT_EQ(NumberIn(messages[0], "capture_id"), -12345);
  EXPECT_EQ(NumberIn(messages[0], "error_code"), -1003);
  EXPECT_TRUE(Has(TextIn(messages[0], "error_description"), "pictures"));
  EXPECT_EQ(ReadFile(folder), "in the way");
  EXPECT_EQ(m_downloads.files().size(), 3u) << "only the scenario, the control file and ours";
  ExpectOrderlyShutdown(m_session);
}

}  // namespace
