#include "lbhost/vocabulary/camera_words.h"

#include <cctype>
#include <cstdlib>

namespace {

struct ResultWords {
  const char* name;  // after "kNkMAIDResult_", as the process prints it
  int code;
  const char* words;
};

// The results a photographer meets, with the codes the process's result table gives them.
const ResultWords kResults[] = {
    {"NotSupported", -127, "the camera does not support this"},
    {"ValueOutOfBounds", -125, "the camera does not take this value"},
    {"Aborted", -123, "the camera gave up before it was done"},
    {"NoMedia", -122, "there is no memory card in the camera"},
    {"ZombieObject", -119, "the camera is no longer connected"},
    {"OutOfMemory", -118, "there was not enough memory"},
    {"HardwareError", -116, "the camera reported a hardware fault"},
    {"ApertureFEE", 128, "the lens's aperture ring is not locked at its smallest aperture"},
    {"BufferNotReady", 129, "the camera is still busy with the last shot"},
    {"MediaFull", 131, "the card is full"},
    {"InvalidMedia", 132, "the card cannot be used"},
    {"CameraNotFound", 134, "the camera was not found"},
    {"BatteryDontWork", 135, "the battery does not work"},
    {"ShutterBulb", 136, "the shutter speed is set to Bulb"},
    {"OutOfFocus", 137, "the camera could not focus"},
    {"Protected", 138, "the picture is protected"},
    {"DataTransFailure", 141, "the picture could not be transferred"},
    {"SessionFailure", 142, "the connection to the camera failed"},
    {"FileRemoved", 143, "the picture was deleted on the camera"},
    {"BusReset", 144, "the USB connection was reset (the camera may have been unplugged)"},
    {"NonCPULens", 145, "the lens has no CPU, so the camera cannot control it"},
    {"ReleaseButtonPressed", 146, "the shutter-release button is held down on the camera"},
    {"BatteryExhausted", 147, "the battery is empty"},
    {"CaptureFailure", 148, "the camera could not take the picture"},
    {"CaptureDisable", 151, "the camera cannot take pictures now"},
    {"DeviceBusy", 152, "the camera is busy"},
    {"CpxPlaybackMode", 158, "the camera is showing pictures (playback)"},
    {"NotLiveView", 159, "live view is off"},
    {"MFDriveEnd", 160, "the lens is at the end of its focus range"},
    {"UnformattedMedia", 161, "the card is not formatted"},
};

const ResultWords* FindResult(const std::string& name) {
  for (const ResultWords& r : kResults) {
    if (name == r.name) return &r;
  }
  return nullptr;
}

}  // namespace

std::string InCameraWords(const std::string& description) {
  static const std::string kPrefix = "kNkMAIDResult_";
  std::string text;
  std::size_t done = 0;
  for (std::size_t at = description.find(kPrefix); at != std::string::npos;
       at = description.find(kPrefix, done)) {
    std::size_t end = at + kPrefix.size();
    while (
        end < description.size() &&
        (std::isalnum(static_cast<unsigned char>(description[end])) || description[end] == '_')) {
      ++end;
    }
    text += description.substr(done, at - done);
    done = end;
    const ResultWords* result =
        FindResult(description.substr(at + kPrefix.size(), end - at - kPrefix.size()));
    if (!result) {
      text += description.substr(at, end - at);
      continue;
    }
    // The code the process printed after the name, " (137)", is the one kept.
    std::string code = std::to_string(result->code);
    if (description.compare(end, 2, " (") == 0) {
      char* last = nullptr;
      const long printed = std::strtol(description.c_str() + end + 2, &last, 10);
      if (*last == ')' && last != description.c_str() + end + 2) {
        code = std::to_string(printed);
        done = static_cast<std::size_t>(last - description.c_str()) + 1;
      }
    }
    const bool inBrackets =
        at > 0 && description[at - 1] == '(' && description.compare(done, 1, ")") == 0;
    text += std::string(result->words) + (inBrackets ? ", error " + code : " (error " + code + ")");
  }
  return text + description.substr(done);
}

std::string FocusModeWords(const std::string& value) {
  if (value == "autoFocusMode") return "auto-focus";
  if (value == "manualFocusMode") return "manual focus";
  return value;
}
