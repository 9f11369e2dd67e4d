// The names downloads get in the download folder: the shot's base name shared by the files of
// a RAW+JPEG pair, names kept off every file already there (finished or still being written),
// folder paths of both path styles, and the folder chosen when the usual one is unusable.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "camera/download/capture_file_names.h"
#include "camera/download/download_directory.h"
#include "tests/camera/sim_fixture.h"

namespace {

namespace fs = std::filesystem;

class DownloadNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = simtest::PrivateTempPath("lb_download_names_test") + "/";
    fs::remove_all(dir);
    fs::create_directories(dir);
    CCaptureFileNames::instance().restartNumbering();
  }
  void TearDown() override {
    CCaptureFileNames::instance().restartNumbering();
    fs::remove_all(dir);
  }
  void touch(const std::string& name) { std::ofstream(dir + name) << "x"; }

  std::string dir;
  CCaptureFileNames& names = CCaptureFileNames::instance();
};

TEST_F(DownloadNamesTest, PairTakesABaseNameFreeForBothOfItsFiles) {
  int camera = 0;
  const std::vector<std::string> pair{".nef", ".jpg"};
  // Only the JPEG name is taken, yet the RAW file may not take the base name either: the two
  // files of a shot must keep one name.
  touch("Capture0001.jpg");
  const CaptureShotId raw = names.shotForItem(&camera, false);
  const CaptureShotId jpeg = names.shotForItem(&camera, true);
  ASSERT_EQ(raw, jpeg);
  EXPECT_EQ(names.baseName(raw, dir, pair), "Capture0001-0");
  touch("Capture0001-0.nef");
  EXPECT_EQ(names.baseName(jpeg, dir, pair), "Capture0001-0");

  // A file still being written holds its name for either extension, and the suffixes go on
  // in order from there.
  touch("Capture0002.nef.part");
  touch("Capture0002-0.jpg.part");
  const CaptureShotId next = names.shotForItem(&camera, false);
  EXPECT_EQ(names.baseName(next, dir, pair), "Capture0002-1");

  // The second item of a pair joins its own camera's last shot, not another camera's that
  // came in between; a shot keeps its name.
  int other = 0;
  const CaptureShotId between = names.shotForItem(&other, false);
  EXPECT_EQ(names.shotForItem(&camera, true), next);
  EXPECT_EQ(names.baseName(next, dir, pair), "Capture0002-1");

  // Without a usable folder no number is spent; the next shot has the next number.
  EXPECT_EQ(names.baseName(between, "", {".jpg"}), "");
  EXPECT_EQ(names.baseName(between, dir, {".jpg"}), "Capture0003");
}

TEST_F(DownloadNamesTest, NumberingOutlivesTheCameraObject) {
  // A process's first shot is number 1, as a record made anew shows.
  {
    CCaptureFileNames fresh;
    int camera = 0;
    EXPECT_EQ(fresh.baseName(fresh.shotForItem(&camera, false), dir, {".jpg"}), "Capture0001");
    EXPECT_EQ(fresh.baseName(fresh.shotForItem(&camera, false), dir, {".jpg"}), "Capture0002");
  }

  int firstCamera = 0;
  int replugged = 0;
  const CaptureShotId first = names.shotForItem(&firstCamera, false);
  EXPECT_EQ(names.baseName(first, dir, {".jpg"}), "Capture0001");
  // A camera object that never opened a shot cannot continue one: its first item, even one
  // marked as the second of a pair, opens a shot of its own with the next number.
  const CaptureShotId second = names.shotForItem(&replugged, true);
  EXPECT_NE(second, first);
  EXPECT_EQ(names.baseName(second, dir, {".jpg"}), "Capture0002");
  EXPECT_EQ(names.baseName(first, dir, {".jpg"}), "Capture0001");
}

TEST(DownloadFolderPaths, BothPathStylesAreFoldersOnlyWhenAbsoluteAndClosed) {
  // Nothing exists under these folders here, so the first name is free wherever the folder is
  // accepted.
  for (const char* folder : {"C:\\Users\\me\\AppData\\Local\\Temp\\", "c:/temp/",
                             "\\\\server\\share\\", "\\\\?\\C:\\Temp\\"}) {
    EXPECT_EQ(MakeUniqueStem(folder, "Capture0001", {".jpg"}), "Capture0001") << folder;
    EXPECT_EQ(MakeUniqueFilePath(folder, "Capture0001.jpg"), std::string(folder) + "Capture0001.jpg")
        << folder;
  }
  for (const char* folder : {"C:Temp\\", "C:\\Temp", "1:\\Temp\\", "\\Temp\\", "Temp\\", "\\",
                             "C:", "relative/"}) {
    EXPECT_EQ(MakeUniqueStem(folder, "Capture0001", {".jpg"}), "") << folder;
    EXPECT_EQ(MakeUniqueFilePath(folder, "Capture0001.jpg"), "") << folder;
  }

  // A dot in a folder is no extension: the suffix goes on the file's own name.
  std::string stem;
  std::string extension;
  SplitExtension("C:\\photos.2024\\Capture0001", stem, extension);
  EXPECT_EQ(stem, "C:\\photos.2024\\Capture0001");
  EXPECT_EQ(extension, "");
  SplitExtension("/photos.2024/Capture0001", stem, extension);
  EXPECT_EQ(extension, "");
  SplitExtension("C:\\photos.2024\\Capture0001.tar.nef", stem, extension);
  EXPECT_EQ(stem, "C:\\photos.2024\\Capture0001.tar");
  EXPECT_EQ(extension, ".nef");
  SplitExtension("photos/.nef", stem, extension);
  EXPECT_EQ(stem, "photos/");
  EXPECT_EQ(extension, ".nef");
}

// The download folder follows the temporary folder's variable; the fallback serves when that
// is unusable, and no folder at all when neither is.
class DownloadFolderChoice : public ::testing::Test {
 protected:
  void SetUp() override {
    saveVariable("TMPDIR", m_tmpdir);
    saveVariable("HOME", m_home);
    m_root = simtest::PrivateTempPath("lb_download_folder_test");
    fs::remove_all(m_root);
    fs::create_directories(m_root + "/temp");
    fs::create_directories(m_root + "/home/.cache");
  }
  void TearDown() override {
    restoreVariable("TMPDIR", m_tmpdir);
    restoreVariable("HOME", m_home);
    fs::remove_all(m_root);
  }
  static void saveVariable(const char* name, std::pair<bool, std::string>& saved) {
    const char* value = std::getenv(name);
    saved = {value != nullptr, value ? value : ""};
  }
  static void restoreVariable(const char* name, const std::pair<bool, std::string>& saved) {
    if (saved.first)
      setenv(name, saved.second.c_str(), 1);
    else
      unsetenv(name);
  }

  std::string m_root;
  std::pair<bool, std::string> m_tmpdir;
  std::pair<bool, std::string> m_home;
};

TEST_F(DownloadFolderChoice, TemporaryFolderThenFallbackThenNone) {
  setenv("HOME", (m_root + "/home").c_str(), 1);
  setenv("TMPDIR", (m_root + "/temp").c_str(), 1);
  EXPECT_EQ(FindDownloadDirectory(), m_root + "/temp/");

  setenv("TMPDIR", (m_root + "/gone").c_str(), 1);
  EXPECT_EQ(FindDownloadDirectory(), m_root + "/home/.cache/");
  setenv("TMPDIR", "temp", 1);  // relative: never the process's current folder
  EXPECT_EQ(FindDownloadDirectory(), m_root + "/home/.cache/");

  fs::remove_all(m_root + "/home/.cache");
  EXPECT_EQ(FindDownloadDirectory(), "");
}

}  // namespace
