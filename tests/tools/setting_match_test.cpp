// Which camera entry a value names, and the helpers of lbhost's messages.
#include <gtest/gtest.h>

#include "tools/setting_match.h"

namespace {

const std::vector<std::string> kShutter = {"30\"", "4\"", "1\"", "1/4", "1/250", "1/4000"};
const std::vector<std::string> kAperture = {"f/1.8", "f/2.8", "f/4", "f/5.6", "f/8", "f/11"};
const std::vector<std::string> kIso = {"64", "100", "200", "3200", "12800"};
const std::vector<std::string> kAutoIso = {"ISO 800", "ISO 3200"};
const std::vector<std::string> kWb = {"Auto", "Daylight", "Cloudy"};

TEST(SettingMatch, FindsTheEntryByTextCaseOrNumber) {
    EXPECT_EQ(MatchSettingEntry(kShutter, "1/250"), 4u);
    EXPECT_EQ(MatchSettingEntry(kShutter, "1/4"), 3u);  // not "1/4000"
    EXPECT_EQ(MatchSettingEntry(kShutter, "4"), 1u);    // 4 seconds
    EXPECT_EQ(MatchSettingEntry(kShutter, "1"), 2u);    // 1 second, not index 1
    EXPECT_EQ(MatchSettingEntry(kAperture, "f/8"), 4u);
    EXPECT_EQ(MatchSettingEntry(kAperture, "8"), 4u);
    EXPECT_EQ(MatchSettingEntry(kAperture, "5.6"), 3u);
    EXPECT_EQ(MatchSettingEntry(kIso, "3200"), 3u);
    EXPECT_EQ(MatchSettingEntry(kAutoIso, "3200"), 1u);
    EXPECT_EQ(MatchSettingEntry(kAutoIso, "iso 3200"), 1u);
    EXPECT_EQ(MatchSettingEntry(kWb, "daylight"), 1u);
}

TEST(SettingMatch, RefusesWhatTheCameraDoesNotOffer) {
    EXPECT_FALSE(MatchSettingEntry(kIso, "3201"));
    EXPECT_FALSE(MatchSettingEntry(kIso, "0"));  // an index only comes with --index
    EXPECT_FALSE(MatchSettingEntry(kIso, "-100"));
    EXPECT_FALSE(MatchSettingEntry(kIso, ""));
    EXPECT_FALSE(MatchSettingEntry(kIso, "1e999"));
    EXPECT_FALSE(MatchSettingEntry(kAperture, "f/9"));
    EXPECT_FALSE(MatchSettingEntry(kWb, "Sunny"));
    EXPECT_FALSE(MatchSettingEntry({}, "100"));
    // Two entries that are the same number: neither is guessed.
    EXPECT_FALSE(MatchSettingEntry({"ISO 100", "100"}, "100.0"));
}

TEST(SettingMatch, SuggestsOnlyNearMisses) {
    EXPECT_EQ(NearestWord("isso", {"aperture", "shutter", "iso", "wb"}), "iso");
    EXPECT_EQ(NearestWord("shuter", {"aperture", "shutter", "iso", "wb"}), "shutter");
    EXPECT_EQ(NearestWord("zoom", {"aperture", "shutter", "iso", "wb"}), "");
}

TEST(ValidUtf8, KeepsWellFormedTextAndReplacesEveryBadByte) {
    EXPECT_EQ(ValidUtf8("Z 7 \xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xB7"), "Z 7 \xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xB7");
    EXPECT_EQ(ValidUtf8("D\xFF" "850"), "D\xEF\xBF\xBD" "850");
    EXPECT_EQ(ValidUtf8("\xC3"), "\xEF\xBF\xBD");                      // cut short
    EXPECT_EQ(ValidUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");      // overlong '/'
    EXPECT_EQ(ValidUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
    EXPECT_EQ(ValidUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
