#include "camera/sdkobject/source_presence.h"

#include <algorithm>
#include <vector>

#include "camera/sdkobject/nikon_object.h"

bool SourceStillPresent(CNikonObject& object) {
  CNikonObject* source = &object;
  while (source->parent() && source->parent()->parent()) source = source->parent();
  CNikonObject* module = source->parent();
  if (!module) return true;  // a module, or an object under none
  if (!source->isOpen()) return false;

  std::vector<maid::ULONG> ids;
  if (module->enumerateChildren(ids) == 0 &&
      std::find(ids.begin(), ids.end(), source->id()) == ids.end()) {
    return false;
  }
  return !SaysItIsGone(*source);
}

bool SaysItIsGone(CNikonObject& source) {
  if (!source.hasCapability(kNkMAIDCapability_IsAlive)) return false;
  bool alive = true;
  const int result = source.getBoolValue(kNkMAIDCapability_IsAlive, alive);
  if (result == kNkMAIDResult_CameraNotFound) return true;
  return result == 0 && !alive;
}
