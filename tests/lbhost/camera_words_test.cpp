// The process's words for camera trouble and settings, as a photographer reads them.
#include <gtest/gtest.h>

#include "lbhost/vocabulary/camera_words.h"

namespace {

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

}  // namespace
