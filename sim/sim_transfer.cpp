#include "sim/sim_transfer.h"

#include <algorithm>
#include <memory>

#include "sim/sim_blocks.h"
#include "sim/sim_content.h"

namespace lbsim {

namespace {

// A poll hands over at most this much, as a fast link would between two polls.
constexpr ULONG kBlocksPerAsync = 64;
constexpr std::uint64_t kBytesPerAsync = 64ull << 20;

struct Transfer {
  MaidObject* record;
  sdk::CompletionProc proc;
  NKREF ref;
  ULONG cameraId;
  ULONG itemId;
  std::shared_ptr<const std::vector<Block>> blocks;
  std::size_t next = 0;  // the next block to send
  std::uint64_t sentBytes = 0;
  unsigned startMs = 0;  // for slow-link's pace
  bool lose;
  bool wrap;
};

void Complete(const Transfer& t, NKERROR result) {
  // The camera is free again before the caller hears of the end, so a release from inside the
  // completion is taken.
  if (Camera* camera = FindCamera(t.cameraId)) camera->transferring.erase(t.record);
  if (t.proc)
    t.proc(t.record, kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire, 0, 0, t.ref, result);
}

// How many bytes slow-link lets through by now: the camera's rate since the start, and the
// first block at once.
std::uint64_t SlowLinkAllowance(const Camera& camera, const Transfer& t) {
  const std::uint64_t elapsedMs = NowMs() - t.startMs;
  return std::uint64_t{camera.setup.rateMBps} * 1000u * elapsedMs;
}

// The nested-items habit: the pair's second file is announced while the first transfers.
void AnnounceHeldPartner(ULONG cameraId, ULONG itemId) {
  Camera* camera = FindCamera(cameraId);
  if (!camera) return;
  auto held = camera->heldPartners.find(itemId);
  if (held == camera->heldPartners.end()) return;
  const ULONG partner = held->second;
  camera->heldPartners.erase(held);
  ++Sim().announcedMidTransfer;
  if (MaidObject* record = OpenRecord(Kind::Camera, cameraId))
    DeliverEvent(record, kNkMAIDEvent_AddChild, partner);
}

// One poll's share of a transfer; queues the rest at the front, so the transfer goes on at the
// next poll, ahead of work queued behind it (a later shot's).
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
    reinterpret_cast<sdk::DataProc>(data.pProc)(data.refProc, &info,
                                                const_cast<unsigned char*>(bytes));
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
  const bool slow = camera->has(Habit::SlowLink);
  const std::uint64_t allowance = slow ? SlowLinkAllowance(*camera, t) : ~0ull;
  const bool nested = camera->heldPartners.count(t.itemId) != 0;
  std::vector<unsigned char> bytes;
  std::uint64_t sentNow = 0;
  const ULONG blocksNow = camera->has(Habit::BlockAPoll) ? 1 : kBlocksPerAsync;
  for (ULONG n = 0; n < blocksNow && t.next < t.blocks->size(); ++n) {
    const Block block = (*t.blocks)[t.next];
    if (sentNow > 0 && sentNow + block.length > kBytesPerAsync) break;
    if (t.sentBytes > 0 && t.sentBytes + block.length > allowance) break;
    if (item.raw) {
      bytes.resize(block.length);
      FillRaw(item.seed, block.offset, bytes.data(), block.length);
      deliver({kNkMAIDDataObjType_File, fileType, total, block.offset, block.length}, bytes.data());
    } else {
      deliver({kNkMAIDDataObjType_File, fileType, total, block.offset, block.length},
              item.jpeg().data() + block.offset);
    }
    ++t.next;
    t.sentBytes += block.length;
    sentNow += block.length;
    if (t.lose) return Complete(t, kNkMAIDResult_CameraNotFound);
    if (nested) {
      // The caller hears of the second file inside this block's poll; the first file goes on
      // at the next poll, if the caller kept its object open.
      AnnounceHeldPartner(t.cameraId, t.itemId);
      if (!sim.open.count(t.record)) return Complete(t, kNkMAIDResult_Aborted);
      camera = FindCamera(t.cameraId);
      if (!camera || !camera->plugged) return Complete(t, kNkMAIDResult_CameraNotFound);
      break;
    }
  }
  if (t.next >= t.blocks->size()) return Complete(t, kNkMAIDResult_NoError);
  sim.jobs.push_front([t] { RunTransfer(t); });
}

}  // namespace

NKERROR StartTransfer(MaidObject* record, const Node& node, sdk::CompletionProc proc, NKREF ref) {
  Simulator& sim = Sim();
  Camera* camera = FindCamera(node.cameraId);
  if (!camera) return kNkMAIDResult_CameraNotFound;
  auto itemIt = camera->items.find(node.itemId);
  if (itemIt == camera->items.end()) return kNkMAIDResult_ZombieObject;
  const Item& item = itemIt->second;
  Transfer t{record,
             proc,
             ref,
             node.cameraId,
             node.itemId,
             std::make_shared<const std::vector<Block>>(
                 PlanBlocks(item.bytes(), camera->has(Habit::RaggedBlocks), item.seed)),
             0,
             0,
             NowMs(),
             sim.faults.transferLost,
             sim.faults.blockWraps};
  sim.faults.transferLost = false;
  sim.faults.blockWraps = false;
  camera->transferring.insert(record);
  sim.jobs.push_front([t] { RunTransfer(t); });
  return kNkMAIDResult_Pending;
}

}  // namespace lbsim
