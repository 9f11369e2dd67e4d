#include "hostlink/outgoing_queue.h"

#include <atomic>
#include <cstring>
#include <deque>

#include "platform/mutex.h"
#include "platform/trace.h"
#include "values/lua_value.h"

namespace {

// Held only for the few instructions of an append, a replacement or a removal, never while a
// message is encoded or sent.
CMutex g_outgoingMutex;
// The queue in sending order; owns its messages.
std::deque<std::unique_ptr<OutgoingMessage>> g_outgoingMessages LB_GUARDED_BY(g_outgoingMutex);
// The unsent "liveViewImage" inside g_outgoingMessages, or null; not owning.
OutgoingMessage* g_waitingLiveViewImage LB_GUARDED_BY(g_outgoingMutex) = nullptr;

// The queue's length, written under g_outgoingMutex, so that the I/O thread can poll it.
std::atomic<std::size_t> g_outgoingCount{0};

std::atomic<OutgoingWakeHook> g_wakeHook{nullptr};
// The I/O thread waits, or is about to: the next message wakes it. Both sides write their own
// flag (this one, g_outgoingCount) before they read the other's, with sequentially consistent
// atomics, so at least one of them sees the other and no message is left without a wake-up.
std::atomic<bool> g_ioThreadWaiting{false};

// The standing reply, if any. Under g_outgoingMutex, so that the camera thread's withdrawal
// orders it before anything that thread queues once awake.
struct StandingReply {
  std::string requestName;
  std::string replyName;
  std::unique_ptr<ZnLuaTE> value;
  std::uint64_t handedOver = 0;
};
std::unique_ptr<StandingReply> g_standingReply LB_GUARDED_BY(g_outgoingMutex);

// A message as the queue keeps it, its value cloned (null stays null).
std::unique_ptr<OutgoingMessage> MakeMessage(std::uint32_t requestId, const std::string& name,
                                             const ZnLuaTE* value) {
  auto message = std::make_unique<OutgoingMessage>();
  message->requestId = requestId;
  message->name = std::make_unique<ZnLuaTEString>(name);
  if (value) message->value = value->clone();
  return message;
}

void AppendLocked(std::unique_ptr<OutgoingMessage> message) LB_REQUIRES(g_outgoingMutex) {
  g_outgoingMessages.push_back(std::move(message));
  g_outgoingCount.store(g_outgoingMessages.size());
}

}  // namespace

void QueueMessageToHost(std::uint32_t requestId, const char* name, const ZnLuaTE* value) {
  if (!name) {
    Trace("QueueMessageToHost: message without a name dropped");
    return;
  }
  // The clones are made before the lock is taken: a large payload (a live-view frame) is
  // copied without holding up the I/O thread.
  std::unique_ptr<OutgoingMessage> message = MakeMessage(requestId, name, value);
  const bool isLiveView = std::strcmp(name, kLiveViewImageMessage) == 0;

  std::unique_ptr<ZnLuaTE> replacedValue;  // freed after the lock is released
  {
    CMutexLock lock(g_outgoingMutex);
    if (isLiveView && g_waitingLiveViewImage) {
      g_waitingLiveViewImage->requestId = requestId;
      replacedValue = std::move(g_waitingLiveViewImage->value);
      g_waitingLiveViewImage->value = std::move(message->value);
      return;
    }
    if (isLiveView) g_waitingLiveViewImage = message.get();
    AppendLocked(std::move(message));
  }
  if (g_ioThreadWaiting.exchange(false)) WakeOutgoingQueue();
}

std::unique_ptr<OutgoingMessage> TakeOutgoingMessage() {
  CMutexLock lock(g_outgoingMutex);
  if (g_outgoingMessages.empty()) return nullptr;
  std::unique_ptr<OutgoingMessage> message = std::move(g_outgoingMessages.front());
  g_outgoingMessages.pop_front();
  g_outgoingCount.store(g_outgoingMessages.size());
  if (message.get() == g_waitingLiveViewImage) g_waitingLiveViewImage = nullptr;
  return message;
}

bool HasOutgoingMessages() { return g_outgoingCount.load() != 0; }

std::size_t OutgoingMessageCount() {
  CMutexLock lock(g_outgoingMutex);
  return g_outgoingMessages.size();
}

void DiscardOutgoingMessages() {
  std::deque<std::unique_ptr<OutgoingMessage>> discarded;
  {
    CMutexLock lock(g_outgoingMutex);
    discarded.swap(g_outgoingMessages);
    g_outgoingCount.store(0);
    g_waitingLiveViewImage = nullptr;
  }
}

void SetOutgoingWakeHook(OutgoingWakeHook hook) { g_wakeHook.store(hook); }

void WakeOutgoingQueue() {
  if (OutgoingWakeHook hook = g_wakeHook.load()) hook();
}

bool PrepareOutgoingWait() {
  g_ioThreadWaiting.store(true);
  if (!HasOutgoingMessages()) return true;
  g_ioThreadWaiting.store(false);
  return false;
}

void EndOutgoingWait() { g_ioThreadWaiting.store(false); }

void LeaveStandingReply(const char* requestName, const char* replyName, const ZnLuaTE* value,
                        std::uint64_t handedOver) {
  auto reply = std::make_unique<StandingReply>();
  reply->requestName = requestName;
  reply->replyName = replyName;
  if (value) reply->value = value->clone();
  reply->handedOver = handedOver;
  CMutexLock lock(g_outgoingMutex);
  reply.swap(g_standingReply);
}

void WithdrawStandingReply() {
  std::unique_ptr<StandingReply> withdrawn;  // freed after the lock is released
  CMutexLock lock(g_outgoingMutex);
  withdrawn.swap(g_standingReply);
}

bool QueueStandingReply(std::uint32_t requestId, const std::string& requestName,
                        std::uint64_t handedOver) {
  CMutexLock lock(g_outgoingMutex);
  const StandingReply* reply = g_standingReply.get();
  if (!reply || reply->requestName != requestName || reply->handedOver != handedOver) return false;
  AppendLocked(MakeMessage(requestId, reply->replyName, reply->value.get()));
  return true;
}
