#include "sim/sim_liveview.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "sim/sim_content.h"
#include "sim/sim_picture.h"

namespace lbsim {

namespace {

constexpr int kLiveViewWidth = 640;
constexpr int kLiveViewHeight = 424;

bool NewerModule() {
  const std::string type = ModuleType();
  return type == "Type0023" || type == "Type0024" || type == "Type0025" || type == "Type0028" ||
         type == "Type0029";
}

ULONG LiveViewHeaderBytes(const Camera& camera) {
  const std::string type = ModuleType();
  if (type == "Type0001") return camera.setup.type == 43 ? 128 : 64;
  if (type == "Type0003") return 128;
  return NewerModule() ? 512 : 384;
}

void MakeFrame(Camera& camera) {
  Simulator& sim = Sim();
  const ULONG header = LiveViewHeaderBytes(camera);
  const int blur = static_cast<int>(std::min(16.0, std::fabs(camera.focus - kSharpFocus) / 250.0));
  // A camera whose pictures are smaller than a frame streams frames of its pictures' size.
  const int width = std::min(kLiveViewWidth, static_cast<int>(camera.setup.photoWidth));
  std::vector<unsigned char> jpeg = RenderChartJpeg(width, width * kLiveViewHeight / kLiveViewWidth,
                                                    blur, camera.frames++ * 37u, 75);
  camera.frame.assign(header, 0);
  // The header starts with its own size and the picture size, big-endian, as the cameras do.
  for (int i = 0; i < 4; ++i) camera.frame[i] = static_cast<unsigned char>(header >> (24 - 8 * i));
  StampFrame(jpeg, SteadyClockNanoseconds());
  camera.frame.insert(camera.frame.end(), jpeg.begin(), jpeg.end());
  if (sim.faults.liveViewShort) {
    sim.faults.liveViewShort = false;
    camera.frame.resize(header / 2);
  }
  if (sim.faults.liveViewEmpty) {
    sim.faults.liveViewEmpty = false;
    camera.frame.resize(header);
  }
}

}  // namespace

ULONG LiveViewOnValue() { return NewerModule() ? 3 : 1; }

NKERROR GetLiveViewImage(Camera& camera, ULONG dataType, NKPARAM data) {
  if (dataType != kNkMAIDDataType_ArrayPtr) return kNkMAIDResult_UnexpectedDataType;
  if (camera.liveView == 0) return kNkMAIDResult_NotLiveView;
  if (camera.liveViewBusyReads > 0) {
    --camera.liveViewBusyReads;
    return kNkMAIDResult_DeviceBusy;
  }
  MakeFrame(camera);
  // lv-elements: the frame comes as 2- and 4-byte elements by turns, the count scaled to
  // match and the last element padded with zeros.
  camera.frameElementBytes = 1;
  if (camera.has(Habit::LvElements)) camera.frameElementBytes = camera.frames % 2 ? 2 : 4;
  const std::size_t element = camera.frameElementBytes;
  camera.frame.resize((camera.frame.size() + element - 1) / element * element, 0);
  auto* array = reinterpret_cast<sdk::MaidArray*>(data);
  array->ulType = kNkMAIDArrayType_Unsigned;
  array->ulElements = static_cast<ULONG>(camera.frame.size() / element);
  array->ulDimSize1 = array->ulElements;
  array->wPhysicalBytes = camera.frameElementBytes;
  array->wLogicalBits = static_cast<std::uint16_t>(8 * element);
  return kNkMAIDResult_NoError;
}

NKERROR CopyLiveViewImage(Camera& camera, NKPARAM data) {
  auto* array = reinterpret_cast<sdk::MaidArray*>(data);
  if (!array->pData ||
      array->ulElements * std::size_t{camera.frameElementBytes} != camera.frame.size())
    return kNkMAIDResult_BufferSize;
  std::memcpy(array->pData, camera.frame.data(), camera.frame.size());
  return kNkMAIDResult_NoError;
}

}  // namespace lbsim
