// What lbhost writes for others to read: file names from a pattern, values as JSON, where the
// files are when it is stopped, and the run's report.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <tuple>
#include <gtest/gtest.h>

#include "values/lua_value.h"
#include "lbhost/core/download_progress.h"
#include "lbhost/core/file_ledger.h"
#include "lbhost/core/file_name_pattern.h"
#include "lbhost/core/run_report.h"
#include "lbhost/vocabulary/value_json.h"
#include "lbhost/vocabulary/value_printer.h"

namespace {

// 2026-03-07 09:05:02, shot 12.
const ShotNaming kShot{2026, 3, 7, 9, 5, 2, 12, "Z 7/II", "Capture0003.nef", ""};

// A table of strings under number keys.
ZnLuaTEPtr Numbered(std::initializer_list<std::pair<double, const char*>> entries) {
  auto table = std::make_unique<ZnLuaTETable>();
  for (const auto& [key, text] : entries)
    table->setValue(std::make_unique<ZnLuaTENumber>(key), std::make_unique<ZnLuaTEString>(text));
  return table;
}

TEST(FileNamePattern, ExpandsPlaceholdersFoldersDatesAndGphoto2Codes) {
  const std::pair<const char*, const char*> kExpanded[] = {
      {"{camera}_{date}_{time}_{n}", "Z 7_II_2026-03-07_090502_0012.nef"},
      {"{n:1}", "12.nef"},
      {"{date}/{camera}_{n}", "2026-03-07\\Z 7_II_0012.nef"},
      {"{date:%Y%m%d}\\{time:%H-%M}_{n:2}", "20260307\\09-05_12.nef"},
      {"%n_%Y%m%d", "12_20260307.nef"},
      {"%03n-%f.%C", "012-Capture0003.nef"},
      {"%:", "Capture0003.nef"},
      {"%a %d %b %y %j %I%p 100%%", "Sat 07 Mar 26 066 09AM 100%.nef"},
  };
  for (const auto& [pattern, name] : kExpanded)
    EXPECT_EQ(ExpandFileNamePattern(pattern, kShot), name) << pattern;
  const ShotNaming noExtension{2026, 3, 7, 9, 5, 2, 12, "Z 7/II", "Capture0003", ""};
  EXPECT_EQ(ExpandFileNamePattern("x{n}", noExtension), "x0012");
  // The camera's own name with the downloaded file's extension, as lbhost saves by default.
  const ShotNaming camerasName{2026, 3, 7, 9, 5, 2, 12, "Z 7/II", "DSC_0003.JPG", ".jpg"};
  EXPECT_EQ(ExpandFileNamePattern("%f", camerasName), "DSC_0003.jpg");
  EXPECT_EQ(ExpandFileNamePattern("{name}", camerasName), "DSC_0003.jpg");
  // A leap year's February 29th and March 1st, and the 12-hour clock at midnight, noon and 1 p.m.
  for (const auto& [day, hour, expanded] : {std::tuple{"2028-02-29", 0, "060 12 12AM"},
                                            {"2028-03-01", 12, "061 12 12PM"},
                                            {"2026-03-01", 13, "060 01  1PM"}}) {
    ShotNaming shot = kShot;
    std::sscanf(day, "%d-%d-%d", &shot.year, &shot.month, &shot.day);
    shot.hour = hour;
    EXPECT_EQ(ExpandFileNamePattern("%j %I %l%p", shot), std::string(expanded) + ".nef")
        << day << " " << hour;
  }
}

TEST(FileNamePattern, RefusesPatternsThatGiveNoSafeName) {
  EXPECT_TRUE(CheckFileNamePattern("{camera}_{n:3}").empty());
  for (const char* bad : {"", "{nn}", "{n:0}", "{n:x}", "{date:2}", "{camera", "a:b", ".", "..",
                          "a//b", "/a", "a/", "../{n}", "{date:%Q}", "{time:%Y/%m}", "%", "%05f"})
    EXPECT_FALSE(CheckFileNamePattern(bad).empty()) << bad;
  // A gphoto2 code lbhost has no meaning for is named, never taken literally.
  EXPECT_NE(CheckFileNamePattern("%F/%f").find("%F"), std::string::npos);
  EXPECT_NE(CheckFileNamePattern("%n_%q").find("%q"), std::string::npos);
}

TEST(FileNamePattern, CountingGoesOnAfterTheHighestNumberThePatternGave) {
  // The highest is not the last of the folder's names.
  const std::vector<std::string> files = {"D850_0012.nef",      "D850_0012.jpg",
                                          "D850_0007.jpg",      "other_0099.jpg",
                                          "D850_0100.jpg.part", "2026-03-07\\D850_0040.jpg",
                                          "D850_x.jpg"};
  EXPECT_EQ(HighestCounter("{camera}_{n}", "D850", files), 12);
  EXPECT_EQ(HighestCounter("{date}/{camera}_{n}", "D850", files), 40);
  EXPECT_EQ(HighestCounter("{camera}_%n", "D850", {}), 0);
  EXPECT_EQ(HighestCounter("{name}", "D850", files), 0);
  EXPECT_EQ(PatternFolderDepth("{date}/{camera}/{n}"), 2);
  EXPECT_TRUE(PatternHasCounter("x%03n"));
  EXPECT_FALSE(PatternHasCounter("{name}"));
}

TEST(ValueToJson, ListsAreArraysAndEverythingElseKeepsItsKind) {
  ZnLuaTETable settings;
  settings.set("apertureEntries", Numbered({{0, "f/4"}, {1, "f/8"}}));  // lists from 0 or 1
  settings.set("devices", Numbered({{1, "D850"}, {2, "Z 7"}}));
  settings.set("sparse", Numbered({{0, "a"}, {2, "b"}}));
  settings.setNumber("half", 0.5);
  settings.setNumber("huge", 1e300);  // past every integer type
  settings.setNumber("nan", std::nan(""));
  settings.set("image", std::make_unique<ZnLuaTEData>("abc", 3));
  settings.set("none", std::make_unique<ZnLuaTENil>());
  EXPECT_EQ(ValueToJson(&settings).dump(),
            R"({"apertureEntries":["f/4","f/8"],"devices":["D850","Z 7"],"half":0.5,"huge":1e+300,)"
            R"("image":{"data_bytes":3},"nan":null,"none":null,"sparse":{"0":"a","2":"b"}})");
}

// A camera's settings as lbhost shows them: each setting it can change with its value and
// choices in JSON; any value as text, a nested table a level deeper, a key that is no name in
// brackets.
TEST(SettingsOutput, JsonPairsEachValueWithItsChoicesAndTextIndentsNestedTables) {
  ZnLuaTETable settings;
  settings.setString("aperture", "f/8");
  settings.set("apertureEntries", Numbered({{0, "f/4"}, {1, "f/8"}}));
  EXPECT_EQ(SettingsToJson(&settings).dump(),
            R"({"aperture":{"choices":["f/4","f/8"],"value":"f/8"}})");

  auto camera = std::make_unique<ZnLuaTETable>();
  camera->setString("file name", "a b");
  ZnLuaTETable message;
  message.set("camera", std::move(camera));
  message.setNumber("id", 257);
  EXPECT_EQ(FormatValue(&message, {2}),
            "{\n  camera = {\n    [\"file name\"] = \"a b\"\n  },\n  id = 257\n}");
  EXPECT_EQ(FormatValue(&message), "{camera = {[\"file name\"] = \"a b\"}, id = 257}");
}

// Where each file is when lbhost stops, each in one place: a file saved into --out is not
// named in the download folder too, and one the process finished after lbhost last looked is
// found there whole, not called incomplete.
TEST(FileLedger, SaysWhereEachFileIsNow) {
  const std::string folder = ::testing::TempDir();
  CFileLedger ledger(folder);
  EXPECT_EQ(ledger.summary(), "");
  const char* names[] = {"DSC_0001.JPG", "DSC_0002.NEF", "DSC_0003.JPG", "DSC_0004.NEF",
                         "DSC_0005.JPG"};
  for (int id = 1; id <= 5; ++id) ledger.downloading(id, names[id - 1]);
  EXPECT_TRUE(ledger.downloadInProgress());
  ledger.downloaded(1, folder + "DSC_0001.JPG");
  ledger.downloaded(2, folder + "DSC_0002.NEF");
  ledger.saved(1, "/shots/1.jpg");
  ledger.failed(5);
  std::ofstream(folder + "DSC_0003.JPG") << "whole";
  std::ofstream(folder + "DSC_0004.NEF.part") << "half";
  EXPECT_EQ(ledger.summary(),
            "1 file(s) saved, the last at /shots/1.jpg\n"
            "not saved: DSC_0002.NEF: downloaded but not moved, at " +
                folder +
                "DSC_0002.NEF\n"
                "not saved: DSC_0003.JPG: downloaded but not moved, at " +
                folder +
                "DSC_0003.JPG\n"
                "not saved: DSC_0004.NEF: still downloading, not whole yet, at " +
                folder + "DSC_0004.NEF.part\n");
  std::remove((folder + "DSC_0003.JPG").c_str());
  std::remove((folder + "DSC_0004.NEF.part").c_str());
}

// A download is alive while its bytes grow, whatever its length; the line says how far it is.
TEST(DownloadProgress, GrowsWithTheBytesOnDiskAndSaysHowFar) {
  std::map<std::string, long long> disk;
  CDownloadProgress progress([&disk](const std::string& name) -> std::optional<long long> {
    const auto it = disk.find(name);
    if (it == disk.end()) return std::nullopt;
    return it->second;
  });
  EXPECT_FALSE(progress.grew());
  progress.started(7, "Capture0001.nef", 100 * 1048576LL);
  progress.started(8, "Capture0001.jpg", 4 * 1048576LL);
  EXPECT_FALSE(progress.grew()) << "nothing on disk yet";
  disk["Capture0001.nef"] = 0;
  EXPECT_TRUE(progress.grew()) << "a file that appears has moved";
  EXPECT_FALSE(progress.grew());
  disk["Capture0001.nef"] = 52 * 1048576LL;
  EXPECT_TRUE(progress.grew());
  EXPECT_EQ(progress.describe(), "52.0 of 104.0 MiB (50%)");
  progress.ended(7);
  disk["Capture0001.nef"] = 100 * 1048576LL;
  EXPECT_FALSE(progress.grew()) << "an ended file is no longer watched";
  EXPECT_EQ(progress.describe(), "0.0 of 4.0 MiB (0%)");
  progress.ended(8);
  EXPECT_EQ(progress.describe(), "");
}

// Under --json the report is one valid object on stdout and nothing else; a failure names its
// kind, and its near miss only when there is one. Without --json, lines for people go to stdout, or
// to stderr once stdout carries data.
TEST(RunReport, JsonIsOneObjectAndTextKeepsStdoutForData) {
  auto reportOf = [](const std::string& suggestion) {
    CRunReport report(true);
    report.line("not for --json");
    report.beginStep("list")["camera"] = "Z 7\xff";  // a name in bytes that are not UTF-8
    testing::internal::CaptureStdout();
    EXPECT_EQ(report.finish(2, ErrorKind::Usage, "bad --cout", suggestion), 2);
    return nlohmann::json::parse(testing::internal::GetCapturedStdout());
  };
  const nlohmann::json failed = reportOf("--count");
  EXPECT_EQ(failed["ok"], false);
  EXPECT_EQ(failed["format_version"], 1);
  EXPECT_EQ(failed["exit_code"], 2);
  EXPECT_EQ(failed["steps"][0]["camera"], "Z 7\xEF\xBF\xBD");
  EXPECT_EQ(
      failed["error"],
      (nlohmann::json{{"kind", "usage"}, {"message", "bad --cout"}, {"did_you_mean", "--count"}}));
  EXPECT_FALSE(reportOf("")["error"].contains("did_you_mean"));

  CRunReport text(false);
  testing::internal::CaptureStdout();
  text.line("a");
  text.reserveStdoutForData();
  text.line("b");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "a\n");
  EXPECT_EQ(text.finish(), 0);
}

}  // namespace
