// The names downloads get: a shot's base name, shared by a pair's files and kept off every file
// in the folder; folder paths of both path styles, and the folder chosen.

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

#include "camera/download/capture_file_names.h"
#include "camera/download/shot_pairing.h"
#include "platform/free_name.h"
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
  void TearDown() override { fs::remove_all(dir); }
  void touch(const std::string& name) { std::ofstream(dir + name) << "x"; }

  std::string dir;
  CCaptureFileNames& names = CCaptureFileNames::instance();
};

// Items as announced: R/J a pair's RAW/JPEG file named by the digit ("R1" is DSC_0001.NEF), r/j
// unnamed, S a single unnamed file, x a refused item, "lost" the file before it lost after it
// came. Expected: each item's shot as a letter (upper case for a broken pair), "-" for a refused
// item.
TEST(ShotPairing, ItemsJoinTheirOwnShotWhateverTheOrderAndTheFailures) {
  const struct {
    const char* items;
    const char* shots;
  } cases[] = {
      {"R1 J1 R2 J2", "a a b b"}, {"J1 R1 J2 R2", "a a b b"},  // JPEG first
      {"x J1 R2 J2", "- A b b"},  // the first RAW refused: its JPEG stands alone
      {"R1 x R2 J2", "A - b b"},  // the first JPEG refused
      {"R1 J2 J1", "a b a"},      // a name joins its own pair, never another's
      {"x j r j", "- A b b"},     // unnamed: the order decides
      {"r x r j", "A - b b"},     {"r S j", "a b c"},  // a single file ends a pair waiting by order
      {"x S r j", "- a b b"},                          // a refused single file opens nothing
      {"R1 lost J1", "A A"},  // a file lost after its pair formed breaks it for the other
  };
  for (const auto& c : cases) {
    CShotPairing pairing;
    std::vector<CaptureShotId> placed;  // 0 for a refused item
    std::istringstream items(c.items);
    for (std::string item; items >> item;) {
      if (item == "lost") {
        pairing.fileLost(placed.back());
        continue;
      }
      std::string name;
      if (item[0] == 'R' || item[0] == 'J')
        name = std::string("DSC_000") + item[1] + (item[0] == 'R' ? ".NEF" : ".JPG");
      if (item == "x") pairing.itemRefused();
      placed.push_back(item == "x" ? 0 : pairing.placeItem(name, item[0] != 'S'));
    }
    // Read once every item is placed: a later refusal breaks an earlier item's pair.
    std::map<CaptureShotId, char> letters;
    std::string got;
    for (CaptureShotId shot : placed) {
      if (!got.empty()) got += ' ';
      const char letter = shot ? letters.emplace(shot, 'a' + letters.size()).first->second : '-';
      got += shot && pairing.pairBroken(shot) ? static_cast<char>(std::toupper(letter)) : letter;
    }
    EXPECT_EQ(got, c.shots) << c.items;
  }
}

// What earlier processes left: unmarked partial files go; a whole (marked) one takes its kept
// name, or stays while another program holds it; a marker alone goes; all else stays.
TEST_F(FileNamesTest, LeftoverPartialFilesAreRemovedAndWholeOnesKept) {
  for (const char* name :
       {"Capture0001.nef.part", "Capture0002-0.jpg.part", "Capture0003.jpg", "holiday.jpg.part",
        "Capture0004.part.jpg", "Capture0005.nef.part", "Capture0005.nef.part.whole",
        "Capture0006.nef.part", "Capture0006.nef.part.whole", "Capture0007.nef.part.whole",
        "Capture0008-kept.nef"})
    touch(name);
  {
    const simtest::CHeldFile held(dir + "Capture0006.nef.part");
    EXPECT_EQ(SettleLeftoverFiles(dir), 2);
  }
  EXPECT_EQ(FilesIn(dir),
            (simtest::Strings{"Capture0003.jpg", "Capture0004.part.jpg", "Capture0005-kept.nef",
                              "Capture0006.nef.part", "Capture0006.nef.part.whole",
                              "Capture0008-kept.nef", "holiday.jpg.part"}));
}

// Shots are numbered as they are first named; a record made anew starts at 1. Paths keep off
// every taken name and keep the extension.
TEST_F(FileNamesTest, ShotsTakeNumbersAsNamedAndPathsKeepOffTakenOnes) {
  const CaptureShotId first = names.newShot();
  const CaptureShotId second = names.newShot();
  EXPECT_EQ(names.baseName(second, dir, {".jpg"}), "Capture0001");
  EXPECT_EQ(names.baseName(first, dir, {".jpg"}), "Capture0002");
  CCaptureFileNames record;
  EXPECT_EQ(record.baseName(record.newShot(), dir, {".nef"}), "Capture0001");
  std::vector<std::string> elevenTaken{"Capture0001.nef"};
  for (int i = 0; i < 10; ++i) elevenTaken.push_back("Capture0001-" + std::to_string(i) + ".nef");
  const struct {
    std::vector<std::string> taken;
    std::string name;
    std::string expected;
  } cases[] = {
      {{"Capture0001.jpg"}, "Capture0001.jpg", "Capture0001-0.jpg"},
      {{"Capture0001.jpg.part", "Capture0001-0.jpg"}, "Capture0001.jpg", "Capture0001-1.jpg"},
      {{"Capture0001"}, "Capture0001", "Capture0001-0"},
      {elevenTaken, "Capture0001.nef", "Capture0001-10.nef"},
  };
  for (const auto& c : cases) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const std::string& name : c.taken) touch(name);
    EXPECT_EQ(MakeUniqueFilePath(dir, c.name), dir + c.expected) << c.name;
  }
  // Past every numbered suffix a made-up one, still free and still before the extension.
  const std::string stem = MakeUniqueStem(dir, "Capture0001", {".nef"}, [](const std::string& s) {
    return s.find_first_not_of("Capture0001-0123456789") == std::string::npos;
  });
  ASSERT_EQ(stem.size(), std::string("Capture0001-").size() + 8) << stem;
  EXPECT_EQ(stem.rfind("Capture0001-", 0), 0u);
  EXPECT_FALSE(fs::exists(dir + stem + ".nef"));
  EXPECT_EQ(MakeUniqueStem(dir, "x", {".nef"}, [](const std::string&) { return true; }), "");
}

TEST_F(FileNamesTest, DownloadFoldersCountOnlyWhenAbsoluteAndClosed) {
  // Nothing exists under these: an accepted folder, even one gone, gives the first name.
  for (const char* folder : {"C:\\Users\\me\\AppData\\Local\\Temp\\", "c:/temp/", "D:\\",
                             "\\\\server\\share\\", "\\\\?\\C:\\Temp\\", "/no/such/"})
    EXPECT_EQ(MakeUniqueFilePath(folder, "Capture0001.jpg"),
              std::string(folder) + "Capture0001.jpg")
        << folder;
  for (const char* folder : {"", "C:Temp\\", "C:\\Temp", "1:\\Temp\\", "\\Temp\\", "Temp\\", "\\",
                             "C:", "relative/", "/no/such"})
    EXPECT_EQ(MakeUniqueFilePath(folder, "Capture0001.jpg"), "") << folder;
  // A dot in a folder is no extension: the suffix goes on the file's own name.
  const char* splits[][3] = {
      {"C:\\photos.2024\\Capture0001", "C:\\photos.2024\\Capture0001", ""},
      {"/photos.2024/Capture0001", "/photos.2024/Capture0001", ""},
      {"C:\\photos.2024\\Capture0001.tar.nef", "C:\\photos.2024\\Capture0001.tar", ".nef"},
      {"photos/.nef", "photos/", ".nef"},
      {".nef", "", ".nef"},
  };
  for (const auto& split : splits) {
    std::string stem, extension;
    platform::SplitExtension(split[0], stem, extension);
    EXPECT_EQ(stem + "|" + extension, std::string(split[1]) + "|" + split[2]);
  }
  std::string extensions;
  for (std::uint32_t type : {kNkMAIDFileDataType_JPEG, kNkMAIDFileDataType_TIFF,
                             kNkMAIDFileDataType_NIF, kNkMAIDFileDataType_NDF})
    extensions += ExtensionForFileDataType(type);
  EXPECT_EQ(extensions + ExtensionForFileDataType(3), ".jpg.tif.nef.ndf.dat");
  // The folder chosen: the first candidate that is a folder at an absolute path, never a
  // relative one (the process's current folder), else none.
  fs::create_directories(dir + "temp");
  fs::create_directories("relative");
  EXPECT_EQ(ChooseDownloadDirectory({"", "relative", dir + "gone/", dir + "temp", "/"}),
            dir + "temp/");
  EXPECT_EQ(ChooseDownloadDirectory({"/", dir + "temp/"}), "/");
  EXPECT_EQ(ChooseDownloadDirectory({"relative/", "", dir + "gone"}), "");
  fs::remove("relative");
}

}  // namespace