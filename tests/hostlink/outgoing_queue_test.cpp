// The outgoing queue as the I/O thread and the camera side use it: order, the one waiting
// live-view frame, wake-ups, and a queue shared between threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "hostlink/outgoing_queue.h"
#include "values/lua_value.h"

namespace {

std::atomic<int> g_wakeUps{0};
void CountWakeUp() { ++g_wakeUps; }

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DiscardOutgoingMessages();
    g_wakeUps = 0;
    SetOutgoingWakeHook(&CountWakeUp);
  }
  void TearDown() override {
    SetOutgoingWakeHook(nullptr);
    DiscardOutgoingMessages();
  }
};

void QueueFrame(double size) {
  ZnLuaTETable frame;
  frame.setNumber("size", size);
  QueueMessageToHost(0, "liveViewImage", &frame);
}

TEST_F(QueueTest, MessagesKeepOrderAndOnlyTheNewestFrameWaits) {
  QueueMessageToHost(4, "ok", nullptr);
  QueueFrame(1);
  QueueMessageToHost(0, "deviceAdded", nullptr);
  QueueFrame(2);  // replaces frame 1 where it waits
  QueueFrame(3);
  EXPECT_EQ(OutgoingMessageCount(), 3u);
  EXPECT_EQ(g_wakeUps, 3);  // a replaced frame already has its wake-up

  auto first = TakeOutgoingMessage();
  EXPECT_EQ(first->requestId, 4u);
  EXPECT_EQ(first->value, nullptr);
  QueueFrame(4);  // the frame still waits behind the message taken
  EXPECT_EQ(OutgoingMessageCount(), 2u);
  auto frame = TakeOutgoingMessage();
  EXPECT_EQ(frame->name->getString(), "liveViewImage");
  EXPECT_EQ(static_cast<ZnLuaTETable&>(*frame->value).getNumberValue("size")->value(), 4);
  EXPECT_EQ(TakeOutgoingMessage()->name->getString(), "deviceAdded");
  EXPECT_EQ(TakeOutgoingMessage(), nullptr);

  // Once sent, or discarded, the next frame queues anew.
  QueueFrame(5);
  EXPECT_EQ(OutgoingMessageCount(), 1u);
  DiscardOutgoingMessages();
  QueueFrame(6);
  EXPECT_EQ(OutgoingMessageCount(), 1u);
  QueueMessageToHost(0, nullptr, nullptr);  // a nameless message is dropped
  EXPECT_EQ(OutgoingMessageCount(), 1u);
}

TEST_F(QueueTest, QueueIsClonedAndSafeAcrossThreads) {
  {
    ZnLuaTETable payload;
    payload.setString("status", "liveViewOn");
    QueueMessageToHost(1, "ok", &payload);
  }  // the caller's table is gone; the queued clone is not
  auto message = TakeOutgoingMessage();
  EXPECT_EQ(static_cast<ZnLuaTETable&>(*message->value).getStringValue("status")->value(),
            "liveViewOn");

  constexpr int kPerThread = 2000;
  std::atomic<bool> done{false};
  int taken = 0;
  std::thread consumer([&] {
    while (!done || HasOutgoingMessages()) {
      if (TakeOutgoingMessage()) ++taken;
    }
  });
  std::thread a([] { for (int i = 0; i < kPerThread; ++i) QueueMessageToHost(1, "ok", nullptr); });
  std::thread b([] { for (int i = 0; i < kPerThread; ++i) QueueMessageToHost(2, "ok", nullptr); });
  a.join();
  b.join();
  done = true;
  consumer.join();
  EXPECT_EQ(taken, 2 * kPerThread);
}

}  // namespace
