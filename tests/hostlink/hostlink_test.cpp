// The portable halves of the transport: a request's bytes decoded for its handler, a
// message's bytes up to the size limit, and the outgoing queue as the I/O thread and the
// camera side use it (order, the one waiting live-view frame, wake-ups, threads).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "hostlink/host_request.h"
#include "hostlink/outgoing_queue.h"
#include "values/lua_value.h"
#include "values/message_frame.h"
#include "values/wire_format.h"

namespace {

// "id name payload-tag;" for each request the handler is given, and what it returns.
std::string g_handled;
void RecordRequest(std::uint32_t id, const ZnLuaTE* name, const ZnLuaTE* params) {
  g_handled += std::to_string(id) + " " + name->getString() + " " +
               std::to_string(params ? params->type : -1) + ";";
}

TEST(HostRequest, DecodedRequestsReachTheHandlerAndUndecodableOnesAreDropped) {
  ZnLuaTETable params;
  params.setNumber("device_id", 257);
  const ZnLuaTEString name("connectDevice");
  const std::string frame = EncodeMessageFrame(0xFFFFFFFE, &name, &params);
  EXPECT_TRUE(HandleHostRequest(frame.data(), frame.size(), RecordRequest));
  EXPECT_FALSE(HandleHostRequest(frame.data(), frame.size(), nullptr));
  const std::string handled = "4294967294 connectDevice 5;";
  EXPECT_EQ(g_handled, handled);

  // Empty, cut short, or with a tag that names no value (in the name or the payload): not
  // handled.
  std::string unknownName = frame.substr(0, 4),
              unknownPayload = frame.substr(0, frame.size() - params.encodedSize());
  AppendWireInt32(unknownPayload, 9);
  AppendWireInt32(unknownName, 9);
  AppendWireInt32(unknownName, 1);
  for (const std::string& bad : {std::string(), frame.substr(0, 3),
                                 frame.substr(0, frame.size() - 1), unknownPayload, unknownName}) {
    EXPECT_FALSE(HandleHostRequest(bad.data(), bad.size(), RecordRequest)) << bad.size();
  }
  EXPECT_EQ(g_handled, handled);
}

TEST(HostRequest, MessagesUpToTheLimitAreEncodedAndLargerOnesRefused) {
  const ZnLuaTEString name("liveViewImage");
  // The frame holds the id, the name and the data's tag and size besides the block.
  const int overhead = static_cast<int>(4 + name.encodedSize() + 8);
  std::string frame;
  for (int extra : {0, 1}) {
    const OutgoingMessage message{
        5, std::make_unique<ZnLuaTEString>("liveViewImage"),
        std::make_unique<ZnLuaTEData>(nullptr, int(kMaxMessageSize) - overhead + extra)};
    EXPECT_EQ(EncodeMessageForHost(message, frame), extra == 0) << extra;
    EXPECT_EQ(frame.size(), extra == 0 ? kMaxMessageSize : 0u) << extra;
    // A block made without bytes is zeros, not whatever the allocation held.
    EXPECT_EQ(frame.find_first_not_of('\0', std::size_t(overhead)), std::string::npos) << extra;
  }
  EXPECT_FALSE(EncodeMessageForHost(0, nullptr, nullptr, frame));
}

std::atomic<int> g_wakeUps{0};

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DiscardOutgoingMessages();
    g_wakeUps = 0;
    SetOutgoingWakeHook([] { ++g_wakeUps; });
  }
  void TearDown() override {
    SetOutgoingWakeHook(nullptr);
    DiscardOutgoingMessages();
  }
};

// The frame's table is gone when the message is taken: the queue holds a clone.
void QueueFrame(double size) {
  ZnLuaTETable frame;
  frame.setNumber("size", size);
  QueueMessageToHost(0, "liveViewImage", &frame);
}

// The queue's messages taken in order, "id name frame-size;" each ("-": no payload).
std::string TakeQueued() {
  std::string taken;
  while (auto message = TakeOutgoingMessage()) {
    const auto* frame = static_cast<const ZnLuaTETable*>(message->value.get());
    taken += std::to_string(message->requestId) + " " + message->name->getString() + " " +
             (frame ? std::to_string(int(frame->getNumberValue("size")->value())) : "-") + ";";
  }
  return taken;
}

TEST_F(QueueTest, MessagesKeepOrderAndOnlyTheNewestFrameWaits) {
  ASSERT_TRUE(PrepareOutgoingWait());  // the I/O thread waits: the first message wakes it
  QueueMessageToHost(4, "ok", nullptr);
  QueueFrame(1);
  QueueMessageToHost(0, "deviceAdded", nullptr);
  QueueFrame(2);  // replaces frame 1 where it waits
  QueueFrame(3);
  EXPECT_EQ(g_wakeUps, 1);  // and only it: the woken thread looks at the queue before it waits
  EXPECT_FALSE(PrepareOutgoingWait());
  EXPECT_EQ(TakeOutgoingMessage()->requestId, 4u);
  QueueFrame(4);  // the frame still waits behind the message taken
  EXPECT_EQ(TakeQueued(), "0 liveViewImage 4;0 deviceAdded -;");
  QueueFrame(5);  // once sent, or discarded, the next frame queues anew
  EXPECT_EQ(OutgoingMessageCount(), 1u);
  DiscardOutgoingMessages();
  QueueFrame(6);
  QueueMessageToHost(0, nullptr, nullptr);  // a nameless message is dropped
  EXPECT_EQ(TakeQueued(), "0 liveViewImage 6;");
}

TEST_F(QueueTest, QueueIsSafeAcrossThreads) {
  constexpr int kPerThread = 2000;
  std::atomic<bool> done{false};
  int taken = 0;
  std::thread consumer([&] {
    while (!done || HasOutgoingMessages()) taken += TakeOutgoingMessage() ? 1 : 0;
  });
  auto produce = [] {
    for (int i = 0; i < kPerThread; ++i) QueueMessageToHost(1, "ok", nullptr);
  };
  std::thread a(produce), b(produce);
  a.join();
  b.join();
  done = true;
  consumer.join();
  EXPECT_EQ(taken, 2 * kPerThread);
}

}  // namespace
