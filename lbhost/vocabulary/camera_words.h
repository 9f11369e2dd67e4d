// What the process says of the camera, in a photographer's words.
// Portable.
#pragma once

#include <string>

// An error description with each SDK result name it carries replaced by what happened, and
// the result's code kept plainly: "... kNkMAIDResult_OutOfFocus (137)" becomes "... the
// camera could not focus (error 137)", "(kNkMAIDResult_MediaFull)" "(the card is full, error
// 131)". Names a photographer has no words for stay as they are.
std::string InCameraWords(const std::string& description);

// The settings table's "focusMode" value in words ("autoFocusMode" is "auto-focus"); a value
// it does not know stays as it is.
std::string FocusModeWords(const std::string& value);
