#include "sim/sim_capture.h"

#include <algorithm>
#include <vector>

#include "sim/sim_capabilities.h"
#include "sim/sim_content.h"
#include "sim/sim_picture.h"

namespace lbsim {

namespace {

constexpr ULONG kBlockBytes = 1024 * 1024;        // one data block of a transfer
constexpr ULONG kBlocksPerAsync = 64;             // a large transfer spreads over several polls
constexpr int kPhotoWidth = 1600;
constexpr int kPhotoHeight = 1064;

// Creates the files of one shot as items and announces each; the downloads they start run
// nested inside the announcement. Then completes the capture.
void RunCapture(ULONG cameraId, MaidObject* record, sdk::CompletionProc proc, NKREF ref) {
  Camera* camera = FindCamera(cameraId);
  NKERROR result = kNkMAIDResult_NoError;
  if (!camera || !camera->plugged) {
    result = kNkMAIDResult_CameraNotFound;
  } else if (camera->saveMedia == 0) {
    // Saved to the card only: nothing comes to the computer.
    ++camera->captures;
  } else {
    const std::uint32_t number = ++camera->captures;
    std::vector<bool> files;
    if (camera->setup.format != ImageFormat::Jpeg) files.push_back(true);
    if (camera->setup.format != ImageFormat::Raw) files.push_back(false);
    for (bool raw : files) {
      camera = FindCamera(cameraId);
      if (!camera) break;
      Item item;
      item.raw = raw;
      item.sidecar = camera->setup.format == ImageFormat::RawPlusJpeg;
      item.captureNumber = number;
      item.seed = FileSeed(cameraId, number, raw);
      item.rawBytes = camera->setup.rawBytes;
      if (!raw) {
        item.jpeg = std::make_shared<const std::vector<unsigned char>>(
            RenderChartJpeg(kPhotoWidth, kPhotoHeight, 0, item.seed, 90));
      }
      const ULONG itemId = camera->nextItemId++;
      camera->items[itemId] = std::move(item);
      if (MaidObject* cameraRecord = OpenRecord(Kind::Camera, cameraId))
        DeliverEvent(cameraRecord, kNkMAIDEvent_AddChild, itemId);
    }
  }
  if (proc) proc(record, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture, 0, 0, ref, result);
}

struct Transfer {
  MaidObject* record;
  sdk::CompletionProc proc;
  NKREF ref;
  ULONG cameraId;
  ULONG itemId;
  ULONG offset;
  bool lose;
  bool wrap;
};

void Complete(const Transfer& t, NKERROR result) {
  if (t.proc) t.proc(t.record, kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire, 0, 0, t.ref, result);
}

// One poll's share of a transfer; queues the rest at the front, so a download nested in a
// capture finishes before the capture goes on.
void RunTransfer(Transfer t) {
  Simulator& sim = Sim();
  auto node = sim.open.find(t.record);
  Camera* camera = FindCamera(t.cameraId);
  if (node == sim.open.end() || !camera) return Complete(t, kNkMAIDResult_Aborted);
  if (!camera->plugged) return Complete(t, kNkMAIDResult_CameraNotFound);
  auto itemIt = camera->items.find(t.itemId);
  if (itemIt == camera->items.end()) return Complete(t, kNkMAIDResult_Aborted);
  const sdk::MaidCallback data = node->second.dataProc;
  if (!data.pProc) return Complete(t, kNkMAIDResult_NoDataProc);
  auto deliver = [&](sdk::MaidDataInfo info, const unsigned char* bytes) {
    reinterpret_cast<sdk::DataProc>(data.pProc)(data.refProc, &info, const_cast<unsigned char*>(bytes));
  };

  const Item item = itemIt->second;  // a copy: the callbacks may close the item
  const ULONG total = item.bytes();
  const ULONG fileType = item.raw ? kNkMAIDFileDataType_NIF : kNkMAIDFileDataType_JPEG;
  if (t.wrap) {
    // A broken block: its offset plus length passes 4 GiB and wraps to a small number.
    std::vector<unsigned char> junk(0x2000, 0xEE);
    deliver({kNkMAIDDataObjType_File, fileType, total, 0xFFFFF000u, 0x2000}, junk.data());
    t.wrap = false;
  }
  std::vector<unsigned char> block;
  for (ULONG n = 0; n < kBlocksPerAsync && t.offset < total; ++n) {
    const ULONG length = std::min(kBlockBytes, total - t.offset);
    if (item.raw) {
      block.resize(length);
      FillRaw(item.seed, t.offset, block.data(), length);
      deliver({kNkMAIDDataObjType_File, fileType, total, t.offset, length}, block.data());
    } else {
      deliver({kNkMAIDDataObjType_File, fileType, total, t.offset, length}, item.jpeg->data() + t.offset);
    }
    t.offset += length;
    if (t.lose) return Complete(t, kNkMAIDResult_CameraNotFound);
  }
  if (t.offset >= total) return Complete(t, kNkMAIDResult_NoError);
  sim.jobs.push_front([t] { RunTransfer(t); });
}

}  // namespace

NKERROR CapStart(MaidObject* record, Node& node, ULONG capId, sdk::CompletionProc proc, NKREF ref) {
  Simulator& sim = Sim();
  if (node.kind == Kind::Camera && capId == kNkMAIDCapability_Capture) {
    Camera* camera = FindCamera(node.cameraId);
    if (!camera || !camera->plugged) return kNkMAIDResult_CameraNotFound;
    if (sim.faults.captureHangs) {
      // The completion does not come while the module is open.
      sim.faults.captureHangs = false;
      sim.heldCaptures.push_back({record, proc, ref});
      return kNkMAIDResult_Pending;
    }
    const ULONG cameraId = node.cameraId;
    sim.jobs.push_back([cameraId, record, proc, ref] { RunCapture(cameraId, record, proc, ref); });
    return kNkMAIDResult_Pending;
  }
  if (node.kind == Kind::Data && capId == kNkMAIDCapability_Acquire) {
    Transfer t{record, proc, ref, node.cameraId, node.itemId, 0, sim.faults.transferLost,
               sim.faults.blockWraps};
    sim.faults.transferLost = false;
    sim.faults.blockWraps = false;
    sim.jobs.push_front([t] { RunTransfer(t); });
    return kNkMAIDResult_Pending;
  }
  return kNkMAIDResult_NotSupported;
}

}  // namespace lbsim
