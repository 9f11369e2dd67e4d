// The names downloads get: the shot's base name shared by the files of a RAW+JPEG pair and
// numbered for the life of the process, names kept off every file already in the folder
// (finished or still being written), folder paths of both path styles, and the folder chosen.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "camera/download/capture_file_names.h"
#include "camera/download/download_directory.h"
#include "camera/maid/maid.h"
#include "tests/camera/sim_fixture.h"

namespace {

namespace fs = std::filesystem;

class FileNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = simtest::PrivateTempPath("lb_file_names_test") + "/";
    fs::remove_all(dir);
    fs::create_directories(dir);
    names.restartNumbering();
  }
  void TearDown() override {
    names.restartNumbering();
    fs::remove_all(dir);
  }
  void touch(const std::string& name) { std::ofstream(dir + name) << "x"; }

  std::string dir;
  CCaptureFileNames& names = CCaptureFileNames::instance();
};

TEST_F(FileNamesTest, ShotsShareABaseNameFreeForEveryFileAndNeverHandedOutTwice) {
  int camera = 0;
  const std::vector<std::string> pair{".nef", ".jpg"};
  // Only the JPEG name is taken, yet the RAW file may not take the base name either.
  touch("Capture0001.jpg");
  const CaptureShotId raw = names.shotForItem(&camera, false);
  const CaptureShotId jpeg = names.shotForItem(&camera, true);
  ASSERT_EQ(raw, jpeg);
  EXPECT_EQ(names.baseName(raw, dir, pair), "Capture0001-0");
  touch("Capture0001-0.nef");
  EXPECT_EQ(names.baseName(jpeg, dir, pair), "Capture0001-0");  // a shot keeps its name

  // A file still being written holds its name for either extension.
  touch("Capture0002.nef.part");
  touch("Capture0002-0.jpg.part");
  const CaptureShotId next = names.shotForItem(&camera, false);
  EXPECT_NE(next, raw);
  EXPECT_EQ(names.baseName(next, dir, pair), "Capture0002-1");

  // The second item of a pair joins its own camera's last shot, not another camera's that
  // came in between; a camera that never opened a shot (one made anew after a replug) opens
  // its own even when its item is marked as a pair's second.
  int other = 0;
  int replugged = 0;
  const CaptureShotId between = names.shotForItem(&other, false);
  EXPECT_EQ(names.shotForItem(&camera, true), next);
  const CaptureShotId fresh = names.shotForItem(&replugged, true);
  EXPECT_NE(fresh, next);
  EXPECT_NE(fresh, between);

  // Without a usable folder no number is spent; the next shot has the next number.
  EXPECT_EQ(names.baseName(between, "", {".jpg"}), "");
  EXPECT_EQ(names.baseName(between, dir, {".jpg"}), "Capture0003");
  EXPECT_EQ(names.baseName(fresh, dir, {".jpg"}), "Capture0004");

  // Numbering starts where it is told to, and a record made anew starts at 1.
  names.restartNumbering(41);
  const CaptureShotId afresh = names.shotForItem(&camera, true);
  EXPECT_NE(afresh, next);
  EXPECT_EQ(names.baseName(afresh, dir, {".jpg"}), "Capture0041");
  CCaptureFileNames record;
  EXPECT_EQ(record.baseName(record.shotForItem(&camera, false), dir + "gone/", {".jpg"}),
            "Capture0001");
}

TEST_F(FileNamesTest, UniquePathKeepsOffEveryTakenNameAndKeepsTheExtension) {
  const std::string longStem(200, 'n');
  std::vector<std::string> elevenTaken{"Capture0001.nef"};
  for (int i = 0; i < 10; ++i) elevenTaken.push_back("Capture0001-" + std::to_string(i) + ".nef");
  struct Case {
    std::vector<std::string> taken;
    std::string name;
    std::string expected;
  } cases[] = {
      {{}, "Capture0001.jpg", "Capture0001.jpg"},
      {{"Capture0001.jpg"}, "Capture0001.jpg", "Capture0001-0.jpg"},
      {{"Capture0001.jpg.part", "Capture0001-0.jpg"}, "Capture0001.jpg", "Capture0001-1.jpg"},
      {{"Capture0001"}, "Capture0001", "Capture0001-0"},
      {{"a.b.jpg"}, "a.b.jpg", "a.b-0.jpg"},
      {{longStem + ".jpg"}, longStem + ".jpg", longStem + "-0.jpg"},
      {elevenTaken, "Capture0001.nef", "Capture0001-10.nef"},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const std::string& name : c.taken) touch(name);
    EXPECT_EQ(MakeUniqueFilePath(dir, c.name), dir + c.expected) << c.name;
  }
  // A folder that is gone still gives the first name: creating the file is what fails then.
  EXPECT_EQ(MakeUniqueFilePath(dir + "gone/", "x.nef"), dir + "gone/x.nef");

  // Past every numbered suffix a made-up one, still free and still before the extension.
  const std::string stem = MakeUniqueStem(dir, "Capture0001", {".nef"}, [](const std::string& s) {
    return s.find_first_not_of("Capture0001-0123456789") == std::string::npos;
  });
  ASSERT_EQ(stem.size(), std::string("Capture0001-").size() + 8) << stem;
  EXPECT_EQ(stem.rfind("Capture0001-", 0), 0u);
  EXPECT_FALSE(fs::exists(dir + stem + ".nef"));
  EXPECT_EQ(MakeUniqueStem(dir, "x", {".nef"}, [](const std::string&) { return true; }), "");
}

TEST(DownloadFolderPaths, FoldersCountOnlyWhenAbsoluteAndClosed) {
  // Nothing exists under these folders here, so the first name is free wherever the folder is
  // accepted.
  for (const char* folder : {"C:\\Users\\me\\AppData\\Local\\Temp\\", "c:/temp/",
                             "\\\\server\\share\\", "\\\\?\\C:\\Temp\\", "/no/such/"}) {
    EXPECT_EQ(MakeUniqueFilePath(folder, "Capture0001.jpg"), std::string(folder) + "Capture0001.jpg")
        << folder;
  }
  for (const char* folder : {"", "C:Temp\\", "C:\\Temp", "1:\\Temp\\", "\\Temp\\", "Temp\\", "\\",
                             "C:", "relative/", "/no/such"}) {
    EXPECT_EQ(MakeUniqueStem(folder, "Capture0001", {".jpg"}), "") << folder;
    EXPECT_EQ(MakeUniqueFilePath(folder, "Capture0001.jpg"), "") << folder;
  }

  // A dot in a folder is no extension: the suffix goes on the file's own name.
  const char* splits[][3] = {
      {"C:\\photos.2024\\Capture0001", "C:\\photos.2024\\Capture0001", ""},
      {"/photos.2024/Capture0001", "/photos.2024/Capture0001", ""},
      {"C:\\photos.2024\\Capture0001.tar.nef", "C:\\photos.2024\\Capture0001.tar", ".nef"},
      {"photos/.nef", "photos/", ".nef"},
  };
  for (const auto& split : splits) {
    std::string stem;
    std::string extension;
    SplitExtension(split[0], stem, extension);
    EXPECT_EQ(stem + "|" + extension, std::string(split[1]) + "|" + split[2]);
  }

  const std::pair<std::uint32_t, const char*> extensions[] = {
      {kNkMAIDFileDataType_JPEG, ".jpg"}, {kNkMAIDFileDataType_TIFF, ".tif"},
      {kNkMAIDFileDataType_NIF, ".nef"},  {kNkMAIDFileDataType_NDF, ".ndf"}, {3, ".dat"}};
  for (const auto& e : extensions) EXPECT_STREQ(ExtensionForFileDataType(e.first), e.second);
}

// The download folder: the temporary folder's variable, else the fallback, else none; never a
// relative path, which would be the process's current folder.
TEST(DownloadFolderChoice, TemporaryFolderThenFallbackThenNone) {
  const std::string root = simtest::PrivateTempPath("lb_download_folder_test");
  const char* savedTmp = std::getenv("TMPDIR");
  const char* savedHome = std::getenv("HOME");
  const std::string tmp = savedTmp ? savedTmp : "";
  const std::string home = savedHome ? savedHome : "";
  fs::remove_all(root);
  fs::create_directories(root + "/temp");
  fs::create_directories(root + "/home/.cache");
  fs::create_directories("relative");

  EXPECT_EQ(ChooseDownloadDirectory({"", "relative", root + "/gone/", root + "/temp", "/"}),
            root + "/temp/");
  EXPECT_EQ(ChooseDownloadDirectory({"/", root + "/temp/"}), "/");
  EXPECT_EQ(ChooseDownloadDirectory({"relative/", "", root + "/gone"}), "");
  setenv("HOME", (root + "/home").c_str(), 1);
  setenv("TMPDIR", (root + "/temp").c_str(), 1);
  EXPECT_EQ(FindDownloadDirectory(), root + "/temp/");
  setenv("TMPDIR", (root + "/gone").c_str(), 1);
  EXPECT_EQ(FindDownloadDirectory(), root + "/home/.cache/");
  setenv("TMPDIR", "temp", 1);
  EXPECT_EQ(FindDownloadDirectory(), root + "/home/.cache/");
  fs::remove_all(root + "/home/.cache");
  EXPECT_EQ(FindDownloadDirectory(), "");

  if (savedTmp) setenv("TMPDIR", tmp.c_str(), 1); else unsetenv("TMPDIR");
  if (savedHome) setenv("HOME", home.c_str(), 1); else unsetenv("HOME");
  fs::remove("relative");
  fs::remove_all(root);
}

}  // namespace