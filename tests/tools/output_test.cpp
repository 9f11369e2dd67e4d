// What lbhost writes for others to read: file names from a pattern and values as JSON.
#include <gtest/gtest.h>

#include "values/lua_value.h"
#include "tools/file_name_pattern.h"
#include "tools/value_json.h"

namespace {

// 2026-03-07 09:05:02, shot 12.
const ShotNaming kShot{2026, 3, 7, 9, 5, 2, 12, "Z 7/II", "Capture0003.nef"};

TEST(FileNamePattern, ExpandsEveryPlaceholderAndKeepsTheCamerasExtension) {
    EXPECT_EQ(ExpandFileNamePattern("{camera}_{date}_{time}_{n}", kShot), "Z 7_II_2026-03-07_090502_0012.nef");
    EXPECT_EQ(ExpandFileNamePattern("shoot-{n:2}-{name}", kShot), "shoot-12-Capture0003.nef");
    EXPECT_EQ(ExpandFileNamePattern("{n:1}", kShot), "12.nef");
    ShotNaming noExtension = kShot;
    noExtension.cameraFileName = "Capture0003";
    EXPECT_EQ(ExpandFileNamePattern("x{n}", noExtension), "x0012");
}

TEST(FileNamePattern, RefusesPatternsThatGiveNoSafeName) {
    EXPECT_TRUE(CheckFileNamePattern("{camera}_{n:3}").empty());
    for (const char* bad : {"", "{nn}", "{n:0}", "{n:x}", "{date:2}", "{camera", "a/b", "a\\b", "a:b", ".", ".."}) {
        EXPECT_FALSE(CheckFileNamePattern(bad).empty()) << bad;
    }
}

TEST(ValueToJson, ListsAreArraysAndEverythingElseKeepsItsKind) {
    ZnLuaTETable settings;
    auto* entries = new ZnLuaTETable();
    entries->setValue(new ZnLuaTENumber(0), new ZnLuaTEString("f/4"));
    entries->setValue(new ZnLuaTENumber(1), new ZnLuaTEString("f/8"));
    settings.setValue(new ZnLuaTEString("apertureEntries"), entries);
    auto* sparse = new ZnLuaTETable();
    sparse->setValue(new ZnLuaTENumber(0), new ZnLuaTEString("a"));
    sparse->setValue(new ZnLuaTENumber(2), new ZnLuaTEString("b"));
    settings.setValue(new ZnLuaTEString("sparse"), sparse);
    settings.setValue(new ZnLuaTEString("half"), new ZnLuaTENumber(0.5));
    settings.setValue(new ZnLuaTEString("image"), new ZnLuaTEData("abc", 3));
    settings.setValue(new ZnLuaTEString("none"), new ZnLuaTENil());

    EXPECT_EQ(ValueToJson(&settings).dump(),
              R"({"apertureEntries":["f/4","f/8"],"half":0.5,"image":{"data_bytes":3},)"
              R"("none":null,"sparse":{"0":"a","2":"b"}})");
}

}  // namespace
