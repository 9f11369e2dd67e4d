// The process bounds a release by the shutter speed and lbhost waits for one by it: both read
// the camera's text the same way, Nikon's "1\"3" (1.3 s) among them.
#include <gtest/gtest.h>

#include "values/shutter_speed.h"

TEST(ShutterSpeed, ReadsTheCamerasTextsAndNothingElse) {
  const struct {
    const char* text;
    double seconds;
    bool openEnded;
  } cases[] = {{"1/250", 0.004, false}, {"1/1.3", 1 / 1.3, false}, {"30\"", 30, false},
               {"2.5\"", 2.5, false},   {"1\"3", 1.3, false},      {"Bulb", -1, true},
               {"Time", -1, true},      {"", -1, false},           {"1/0", -1, false},
               {"30", -1, false},       {"-4\"", -1, false},       {"1e9\"", -1, false},
               {"1\"34", -1, false},    {"f/8", -1, false}};
  for (const auto& c : cases) {
    bool openEnded = !c.openEnded;
    EXPECT_DOUBLE_EQ(ShutterSpeedSeconds(c.text, &openEnded).value_or(-1), c.seconds) << c.text;
    EXPECT_EQ(openEnded, c.openEnded) << c.text;
  }
}
