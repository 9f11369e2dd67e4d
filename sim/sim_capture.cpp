#include "sim/sim_capture.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/sim_content.h"
#include "sim/sim_picture.h"
#include "sim/sim_transfer.h"

namespace lbsim {

namespace {

using Picture = std::shared_ptr<const std::vector<unsigned char>>;

// A camera's picture processor: a thread of its own for the life of the process that makes
// the camera's JPEGs in the order they were taken, beside every other camera's. A thread
// started for each shot would cost the module's polls its start-up (a thread takes
// milliseconds to start under Wine), and one shared by all would make a rig's cameras wait
// for one another's pictures.
class CPictureMaker {
 public:
  static CPictureMaker& of(ULONG cameraId) {
    static std::mutex makersLock;
    // Never destroyed: their threads run until the process ends.
    static auto* makers = new std::map<ULONG, CPictureMaker*>;
    std::lock_guard<std::mutex> lock(makersLock);
    CPictureMaker*& maker = (*makers)[cameraId];
    if (!maker) maker = new CPictureMaker;
    return *maker;
  }
  std::shared_future<Picture> make(std::function<Picture()> render) {
    std::packaged_task<Picture()> task(std::move(render));
    std::shared_future<Picture> made = task.get_future().share();
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_tasks.push_back(std::move(task));
    }
    m_wake.notify_one();
    return made;
  }

 private:
  CPictureMaker() {
    std::thread([this] { run(); }).detach();
  }
  void run() {
    for (;;) {
      std::packaged_task<Picture()> task;
      {
        std::unique_lock<std::mutex> lock(m_lock);
        m_wake.wait(lock, [this] { return !m_tasks.empty(); });
        task = std::move(m_tasks.front());
        m_tasks.pop_front();
      }
      task();
    }
  }
  std::mutex m_lock;
  std::condition_variable m_wake;
  std::deque<std::packaged_task<Picture()>> m_tasks;
};

// Makes the items of one shot on the camera and gives their ids in the order the camera
// announces them (RAW first, unless jpeg-first); none when the camera saves to its card only.
std::vector<ULONG> MakeShotItems(ULONG cameraId) {
  std::vector<ULONG> ids;
  Camera* camera = FindCamera(cameraId);
  const std::uint32_t number = ++camera->captures;
  if (camera->saveMedia == 0) return ids;
  std::vector<bool> files;
  if (camera->setup.format != ImageFormat::Jpeg) files.push_back(true);
  if (camera->setup.format != ImageFormat::Raw) files.push_back(false);
  if (camera->has(Habit::JpegFirst)) std::reverse(files.begin(), files.end());
  for (bool raw : files) {
    Item item;
    item.raw = raw;
    item.sidecar = camera->setup.format == ImageFormat::RawPlusJpeg;
    item.captureNumber = number;
    item.seed = FileSeed(cameraId, number, raw);
    item.rawBytes = camera->setup.rawBytes;
    if (!raw) {
      const std::uint64_t seed = item.seed;
      const int width = static_cast<int>(camera->setup.photoWidth);
      auto make = [seed, width] {
        return std::make_shared<const std::vector<unsigned char>>(ShotJpeg(seed, width));
      };
      // On a clock the caller moves (the fuzzer's), the picture is made at once, so a session
      // runs the same way every time; otherwise beside the camera, as a real one does.
      if (Sim().manualClockMs) {
        std::promise<std::shared_ptr<const std::vector<unsigned char>>> madeNow;
        madeNow.set_value(make());
        item.jpegMade = madeNow.get_future().share();
      } else {
        item.jpegMade = CPictureMaker::of(cameraId).make(make);
      }
    }
    const ULONG itemId = camera->nextItemId++;
    camera->items[itemId] = std::move(item);
    ids.push_back(itemId);
  }
  return ids;
}

// Whether the caller has item `itemId` open.
bool ItemOpen(ULONG cameraId, ULONG itemId) {
  for (const auto& [record, node] : Sim().open)
    if (node.kind == Kind::Item && node.cameraId == cameraId && node.itemId == itemId) return true;
  return false;
}

// Announces a shot's items to the camera's event procedure; the caller opens each item inside
// its announcement and fetches it in its own polls afterwards. Under nested-items the second
// file of a pair waits while the caller holds the first one open: the first one's transfer
// announces it after its first block, or the first one's close lets it come at the next poll.
void AnnounceShot(ULONG cameraId, const std::vector<ULONG>& ids) {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    Camera* camera = FindCamera(cameraId);
    if (!camera || !camera->plugged) return;
    if (camera->items.count(ids[i]) == 0) continue;  // already announced and let go of
    const bool nestNext = i + 1 < ids.size() && camera->has(Habit::NestedItems);
    if (nestNext) camera->heldPartners[ids[i]] = ids[i + 1];
    if (MaidObject* record = OpenRecord(Kind::Camera, cameraId))
      DeliverEvent(record, kNkMAIDEvent_AddChild, ids[i]);
    camera = FindCamera(cameraId);
    if (!nestNext || !camera) continue;
    // Let go of already (announced, or queued by the close), or held for the first one's
    // transfer: not announced here.
    if (camera->heldPartners.count(ids[i]) == 0 || ItemOpen(cameraId, ids[i])) {
      ++i;
      continue;
    }
    // The caller did not take the first one (refused to open it): the second comes in its turn.
    camera->heldPartners.erase(ids[i]);
  }
}

// Runs `then` once every JPEG of the shot `ids` is made: at once when they are, or after
// waiting for them when `waitHere` (a module that takes the shot inside the caller's call),
// else at the first poll after they are, so the caller's polls go on meanwhile. With the
// module closed there are no more polls: it waits.
void AfterShotIsMade(ULONG cameraId, const std::vector<ULONG>& ids, bool waitHere,
                     const std::function<void()>& then) {
  waitHere = waitHere || !OpenRecord(Kind::Module);
  bool made = true;
  if (Camera* camera = FindCamera(cameraId)) {
    for (ULONG id : ids) {
      auto item = camera->items.find(id);
      if (item == camera->items.end() || item->second.raw) continue;
      if (waitHere) {
        item->second.jpegMade.wait();
      } else if (item->second.jpegMade.wait_for(std::chrono::seconds(0)) !=
                 std::future_status::ready) {
        made = false;
      }
    }
  }
  if (made) return then();
  Sim().jobs.push_back([=] { AfterShotIsMade(cameraId, ids, false, then); });
}

void CompleteCapture(MaidObject* record, sdk::CompletionProc proc, NKREF ref, NKERROR result) {
  if (proc) proc(record, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture, 0, 0, ref, result);
}

// The capture's completion with `result`, at the caller's next Async.
void CompleteCaptureLater(MaidObject* record, sdk::CompletionProc proc, NKREF ref, NKERROR result) {
  Sim().jobs.push_back([=] { CompleteCapture(record, proc, ref, result); });
}

// Takes the shot the caller asked for: announces its items, then completes the capture (or,
// under late-items, completes it first and announces the items once they are made). Inside
// the caller's release call (`insideCall`) its pictures are waited for there; from a poll they
// are not: the module's other cameras fire and transfer in the polls meanwhile, as each body
// makes its own pictures.
void RunCapture(ULONG cameraId, MaidObject* record, sdk::CompletionProc proc, NKREF ref,
                bool insideCall) {
  Camera* camera = FindCamera(cameraId);
  if (!camera || !camera->plugged)
    return CompleteCapture(record, proc, ref, kNkMAIDResult_CameraNotFound);
  const std::vector<ULONG> ids = MakeShotItems(cameraId);
  if (camera->has(Habit::LateItems)) {
    CompleteCapture(record, proc, ref, kNkMAIDResult_NoError);
    Sim().jobs.push_back([cameraId, ids] {
      AfterShotIsMade(cameraId, ids, false, [cameraId, ids] { AnnounceShot(cameraId, ids); });
    });
    return;
  }
  AfterShotIsMade(cameraId, ids, insideCall, [=] {
    AnnounceShot(cameraId, ids);
    CompleteCapture(record, proc, ref, kNkMAIDResult_NoError);
  });
}

// A timed exposure started at `startMs`: the shot is taken at the first Async once it has
// lasted `lengthMs`. A camera gone meanwhile completes at once (RunCapture says it is not
// found), and a module closing aborts the shot rather than cut the exposure short.
void RunCaptureAfterExposure(ULONG cameraId, MaidObject* record, sdk::CompletionProc proc,
                             NKREF ref, unsigned startMs, unsigned lengthMs) {
  if (!OpenRecord(Kind::Module)) return CompleteCapture(record, proc, ref, kNkMAIDResult_Aborted);
  const Camera* camera = FindCamera(cameraId);
  if (camera && camera->plugged && NowMs() - startMs < lengthMs) {
    Sim().jobs.push_back(
        [=] { RunCaptureAfterExposure(cameraId, record, proc, ref, startMs, lengthMs); });
    return;
  }
  RunCapture(cameraId, record, proc, ref, false);
}

}  // namespace

bool ShootByButton(ULONG cameraId) {
  Camera* camera = FindCamera(cameraId);
  if (!camera || !camera->plugged) return false;
  Sim().jobs.push_back([cameraId] {
    Camera* camera = FindCamera(cameraId);
    if (!camera || !camera->plugged) return;
    // The camera's own shots are announced once the camera has made their pictures, while the
    // caller's polls go on.
    const std::vector<ULONG> ids = MakeShotItems(cameraId);
    AfterShotIsMade(cameraId, ids, false, [cameraId, ids] { AnnounceShot(cameraId, ids); });
  });
  return true;
}

NKERROR CapStart(MaidObject* record, Node& node, ULONG capId, sdk::CompletionProc proc, NKREF ref) {
  Simulator& sim = Sim();
  if (node.kind == Kind::Camera && capId == kNkMAIDCapability_Capture) {
    Camera* camera = FindCamera(node.cameraId);
    if (!camera || !camera->plugged) return kNkMAIDResult_CameraNotFound;
    // Before any fault: a refused release leaves an armed fault for the next one.
    if (camera->has(Habit::BusyWhileTransferring) && !camera->transferring.empty())
      return kNkMAIDResult_DeviceBusy;
    if (sim.faults.captureHangs) {
      // The completion does not come while the module is open.
      sim.faults.captureHangs = false;
      sim.heldCaptures.push_back({record, proc, ref});
      return kNkMAIDResult_Pending;
    }
    if (camera->has(Habit::RefusedStart)) return kNkMAIDResult_DeviceBusy;
    if (camera->has(Habit::RefusedStartLate)) {
      CompleteCaptureLater(record, proc, ref, kNkMAIDResult_MediaFull);
      return kNkMAIDResult_MediaFull;
    }
    if (camera->has(Habit::OutOfFocus)) {
      // Focus priority: the release is taken, and only its completion says no picture came.
      CompleteCaptureLater(record, proc, ref, kNkMAIDResult_OutOfFocus);
      return kNkMAIDResult_Pending;
    }
    const ULONG cameraId = node.cameraId;
    // The camera fires its release latency after the start; the shot then lasts the exposure.
    const unsigned shotMs = camera->setup.releaseLatencyMs + camera->setup.exposureMs;
    if (camera->has(Habit::SyncComplete)) {
      // A module that takes the shot inside the call holds its caller for the whole exposure.
      if (!sim.manualClockMs) std::this_thread::sleep_for(std::chrono::milliseconds(shotMs));
      RunCapture(cameraId, record, proc, ref, true);
      return kNkMAIDResult_NoError;
    }
    if (shotMs > 0) {
      const unsigned startMs = NowMs();
      sim.jobs.push_back(
          [=] { RunCaptureAfterExposure(cameraId, record, proc, ref, startMs, shotMs); });
      return kNkMAIDResult_Pending;
    }
    sim.jobs.push_back(
        [cameraId, record, proc, ref] { RunCapture(cameraId, record, proc, ref, false); });
    return kNkMAIDResult_Pending;
  }
  if (node.kind == Kind::Data && capId == kNkMAIDCapability_Acquire)
    return StartTransfer(record, node, proc, ref);
  return kNkMAIDResult_NotSupported;
}

void LetHeldPartnerGo(Camera& camera, ULONG cameraId, ULONG itemId) {
  auto held = camera.heldPartners.find(itemId);
  if (held == camera.heldPartners.end()) return;
  Sim().jobs.push_back([cameraId, partner = held->second] {
    const Camera* camera = FindCamera(cameraId);
    MaidObject* record = OpenRecord(Kind::Camera, cameraId);
    if (camera && camera->plugged && camera->items.count(partner) && record)
      DeliverEvent(record, kNkMAIDEvent_AddChild, partner);
  });
  camera.heldPartners.erase(held);
}

}  // namespace lbsim
