// lbhost's words for the camera: which entry a value names, camera trouble as a photographer
// reads it, and text that is always valid UTF-8.
#include <gtest/gtest.h>

#include "lbhost/vocabulary/camera_words.h"
#include "lbhost/vocabulary/setting_match.h"
#include "lbhost/vocabulary/valid_utf8.h"

namespace {

// The entry each text names, "-" for none.
std::string Matches(const std::vector<std::string>& entries, std::vector<const char*> texts) {
  std::string found;
  for (const char* text : texts) {
    const auto index = MatchSettingEntry(entries, text);
    found += (found.empty() ? "" : " ") + (index ? std::to_string(*index) : "-");
  }
  return found;
}

TEST(SettingMatch, FindsTheEntryByTextCaseOrNumberAndNothingTheCameraDoesNotOffer) {
  // "1/4" is not "1/4000"; "4" and "1" are seconds, not indexes.
  EXPECT_EQ(Matches({"30\"", "4\"", "1\"", "1/4", "1/250", "1/4000"}, {"1/250", "1/4", "4", "1"}),
            "4 3 1 2");
  EXPECT_EQ(Matches({"f/1.8", "f/2.8", "f/4", "f/5.6", "f/8", "f/11"}, {"f/8", "8", "5.6", "f/9"}),
            "4 4 3 -");
  // An index only comes with --index.
  EXPECT_EQ(
      Matches({"64", "100", "200", "3200", "12800"}, {"3200", "3201", "0", "-100", "", "1e999"}),
      "3 - - - - -");
  EXPECT_EQ(Matches({"ISO 800", "ISO 3200"}, {"3200", "iso 3200"}), "1 1");
  EXPECT_EQ(Matches({"Auto", "Daylight", "Cloudy"}, {"daylight", "Sunny"}), "1 -");
  EXPECT_EQ(Matches({}, {"100"}), "-");
  // Two entries that are the same number: neither is guessed.
  EXPECT_EQ(Matches({"ISO 100", "100"}, {"100.0"}), "-");
}

TEST(CameraWords, NamesWhatHappenedAndKeepsTheCode) {
  const std::pair<const char*, const char*> kCases[] = {
      {"The camera refused to take the picture: kNkMAIDResult_OutOfFocus (137)",
       "The camera refused to take the picture: the camera could not focus (error 137)"},
      {"the transfer failed (kNkMAIDResult_MediaFull)",
       "the transfer failed (the card is full, error 131)"},
      {"kNkMAIDResult_NoMedia (-122), then kNkMAIDResult_DeviceBusy",
       "there is no memory card in the camera (error -122), then the camera is busy (error 152)"},
      {"refused (kNkMAIDResult_CaptureDustFailure)", "refused (kNkMAIDResult_CaptureDustFailure)"},
      {"kNkMAIDResult_OutOfFocusLater (2)", "kNkMAIDResult_OutOfFocusLater (2)"},
      {"refused (<unknown value: 3>)", "refused (<unknown value: 3>)"},
  };
  for (const auto& [description, words] : kCases) EXPECT_EQ(InCameraWords(description), words);
  EXPECT_EQ(FocusModeWords("autoFocusMode") + ", " + FocusModeWords("manualFocusMode") + ", " +
                FocusModeWords("eyeFocusMode"),
            "auto-focus, manual focus, eyeFocusMode");
}

TEST(ValidUtf8, KeepsWellFormedTextAndReplacesEveryBadByte) {
  for (const std::string& good :
       {std::string("Z 7 \xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xB7"), std::string("a\0b", 3)})
    EXPECT_EQ(ValidUtf8(good), good);
  const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
  EXPECT_EQ(ValidUtf8(std::string("D\xFF") + "850"), "D" + bad + "850");
  EXPECT_EQ(ValidUtf8("\xC3"), bad);                      // cut short
  EXPECT_EQ(ValidUtf8("\xC0\xAF"), bad + bad);            // overlong '/'
  EXPECT_EQ(ValidUtf8("\xED\xA0\x80"), bad + bad + bad);  // surrogate
}

}  // namespace
