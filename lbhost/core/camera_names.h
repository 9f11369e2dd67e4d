// The names a photographer gives cameras ("front", "left"), kept in a small JSON file so that
// they last across runs and replugs, and --device read with them.
//
// The modules tell a camera by nothing that lasts: no serial number, only its model name, its
// module (device id >> 8) and an id under the module (device id & 0xFF) that the module may
// hand out anew when the camera is plugged in again. So a name belongs to a place: the module,
// the model, and the camera's rank among the cameras of that model on that module, in
// camera-id order. One body of a model keeps its name across replugs and runs; two identical
// bodies on one module are told apart by the order the module lists them alone, so their names
// may swap when the module orders them differently (after a replug, say).
//
// The file:
//   {"format_version": 1, "cameras": [{"module": 1, "model": "D850", "rank": 1,
//                                      "name": "front"}, ...]}
// Portable. One thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "lbhost/core/result.h"

// A camera as the process lists it.
struct ListedCamera {
  std::uint32_t deviceId = 0;
  std::string model;  // "D850"
};

class CCameraNames {
 public:
  // The file lbhost keeps the names in when --names does not say: camera-names.json in the
  // folder "lbhost" of %LOCALAPPDATA% on Windows, of $HOME/.config elsewhere.
  static std::string defaultPath();

  // The names kept at `path`; none when the file is not there yet. A file that cannot be read
  // as names fails, so that a save never wipes what a photographer wrote by hand.
  static Result<CCameraNames> load(const std::string& path);
  // Writes the names whole or not at all (a new file renamed over the old), making its folder.
  Status save(const std::string& path) const;

  // The chosen names of `cameras` (the process's list), by device id; unnamed ones are absent.
  std::map<std::uint32_t, std::string> namesOf(const std::vector<ListedCamera>& cameras) const;
  // Gives `name` to camera `deviceId` of `cameras`, in place of any name it had. Refused when
  // the name could be read as something else on the command line (a device id, "all", a comma)
  // or another place already has it.
  Status give(const std::vector<ListedCamera>& cameras, std::uint32_t deviceId,
              const std::string& name);
  // Drops the name of camera `deviceId`; false when it had none.
  bool forget(const std::vector<ListedCamera>& cameras, std::uint32_t deviceId);

  // Another camera of the same model is on the same module: the two are told apart by the
  // module's order alone.
  static bool toldApartByOrder(const std::vector<ListedCamera>& cameras, std::uint32_t deviceId);

 private:
  struct Entry {
    unsigned module = 0;
    std::string model;
    unsigned rank = 1;  // 1 for the model's first camera on the module, in camera-id order
    std::string name;
  };
  // Where camera `deviceId` of `cameras` stands; its name left empty.
  static Entry placeOf(const std::vector<ListedCamera>& cameras, std::uint32_t deviceId);
  std::vector<Entry>::iterator find(const Entry& place);

  std::vector<Entry> m_entries;
};

// The cameras --device names among `cameras`, in the order given: "" (the first camera),
// a device id (decimal, or hex with 0x), a chosen name, a model name (refused when two cameras
// share it), several of these joined by commas, or "all". Names ignore case.
Result<std::vector<std::uint32_t>> ChooseCameras(const std::vector<ListedCamera>& cameras,
                                                 const std::map<std::uint32_t, std::string>& names,
                                                 const std::string& text);

// True when --device may name more than one camera ("all", or a list with a comma).
bool NamesSeveralCameras(const std::string& device);
