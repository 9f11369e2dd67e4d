// The outgoing queue: every message the host is to receive goes through it.
//
// Any thread calls QueueMessageToHost (in practice always with the SDK lock held, on the camera
// thread: commands, the idle pump, the long operations, SDK callbacks). Only the
// I/O thread removes messages, without the SDK lock; the queue has its own mutex for that.
//
// Live-view frames are the one exception to first-in first-out growth: at most one unsent
// "liveViewImage" waits in the queue. A newer frame replaces the waiting one in place (keeping
// its position), so a host that reads slowly gets the freshest frame and the queue's memory
// stays bounded; a host that keeps up sees every frame.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class ZnLuaTE;

// One queued message; owned by the queue until taken, then by the taker (the I/O thread).
struct OutgoingMessage {
  std::uint32_t requestId = 0;
  std::unique_ptr<ZnLuaTE> name;   // a ZnLuaTEString holding the message name
  std::unique_ptr<ZnLuaTE> value;  // the payload; null is sent as nil
};

// The name whose unsent instance is replaced rather than queued again.
constexpr const char kLiveViewImageMessage[] = "liveViewImage";

// Clones `value` (null stays null) and appends the message; the caller keeps ownership of
// `name` and `value`. Then calls the wake hook when the I/O thread waits for it (see
// PrepareOutgoingWait); an awake I/O thread looks at the queue before it waits again, so
// waking it would only cost a kernel call. A null name is dropped.
void QueueMessageToHost(std::uint32_t requestId, const char* name, const ZnLuaTE* value);

// I/O thread: removes and returns the front message, or null when the queue is empty.
std::unique_ptr<OutgoingMessage> TakeOutgoingMessage();
// Takes no lock: the I/O thread may poll it.
bool HasOutgoingMessages();
std::size_t OutgoingMessageCount();

// Destroys every waiting message (the end of the I/O thread, and tests).
void DiscardOutgoingMessages();

// Installed once by the Windows shell before the I/O thread starts: releases
// g_outgoingSemaphore. Called after the queue's mutex is released. Null means no wake-up.
using OutgoingWakeHook = void (*)();
void SetOutgoingWakeHook(OutgoingWakeHook hook);
// I/O thread, before it waits for the wake hook: true when the queue is empty, and then the
// first message queued calls the hook. False when a message is already queued: no waiting.
bool PrepareOutgoingWait();
// I/O thread, awake again: queued messages call no hook until the next PrepareOutgoingWait.
void EndOutgoingWait();
// Calls the wake hook without queuing anything: the I/O thread looks at its loop's state.
void WakeOutgoingQueue();

// A standing reply: what the camera thread, about to sleep with no command queued, waiting or
// running, would answer to a request that only reads its state. While it stands, the I/O
// thread answers such a request itself instead of waking the camera thread for it; under
// Wine that crossing and the way back cost a second thread wake-up and several server calls.
// Camera thread, before it sleeps: `handedOver` is HandedOverRequestCount() as it was before
// the camera thread found its command queue empty. Replaces the reply that stood.
void LeaveStandingReply(const char* requestName, const char* replyName, const ZnLuaTE* value,
                        std::uint64_t handedOver);
// Camera thread, as soon as it wakes and before it runs anything: its state may change now.
void WithdrawStandingReply();
// I/O thread: queues the standing reply under `requestId` when it answers `requestName` and
// no request was handed over since it was left (`handedOver`, the count now); true then.
bool QueueStandingReply(std::uint32_t requestId, const std::string& requestName,
                        std::uint64_t handedOver);
