// Where the process puts downloads when the user's temporary folder is unusual (too long for
// the ordinary path functions, or gone), and what it makes of an earlier run's leftovers there.
// The process takes its folder from TMP and TEMP, which the test gives it. Files that land in
// the fallback folder (the prefix's own) are removed.
#include <windows.h>

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
  const std::string path = Text(done->payload.get(), "file_path");
  EXPECT_EQ(path.substr(0, path.find_last_of('\\') + 1), expectedFolder);
  EXPECT_TRUE(IsJpeg(ReadFile(path))) << path;
  DeleteFileW(platform::utf8ToWide(path).c_str());
}

// A temporary folder past MAX_PATH, then one that is gone.
TEST(DownloadFolder, AnUnusualTemporaryFolderStillTakesTheDownload) {
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
  ExpectShotLandsIn("C:\\lb_no_such_temporary_folder", LocalTemporaryFolder());
}

// What an earlier run left in the folder is settled before the first request is answered: a
// whole file that another program held past its minute takes its kept name, a partial one
// goes. (Which leftover is which is the camera layer's, tests/camera/file_names_test.cpp.)
TEST(DownloadFolder, LeftoversOfAnEarlierRunAreSettledAtStart) {
  CTestDownloadFolder folder(CurrentTestName());
  ASSERT_TRUE(folder.valid());
  for (const char* name :
       {"Capture0001.nef.part", "Capture0001.nef.part.whole", "Capture0002.jpg.part"})
    std::ofstream(folder.file(name), std::ios::binary) << name;
  CHostSession session;
  std::string error;
  ASSERT_TRUE(session.start(BuiltProgram("lensbridge.exe"), 15000, &error, folder.environment()))
      << error;
  ListAndConnect(session);
  EXPECT_EQ(folder.files(), std::vector<std::string>{"Capture0001-kept.nef"});
  ExpectOrderlyShutdown(session);
}

}  // namespace
