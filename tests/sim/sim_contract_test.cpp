// The simulator's own contract, which every camera test relies on: like a real module it
// never calls back on its own. Events, data blocks and completions arrive only inside one of
// the caller's SDK calls, on the caller's thread.
#include <gtest/gtest.h>

#include <thread>

#include "platform/platform.h"
#include "tests/sim/sim_driver.h"

namespace {

TEST(SimContract, EventsWaitForTheCallersAsync) {
  simtest::CSimDriver driver("Type0001.md3", "camera 1\n");
  ASSERT_TRUE(driver.ready());
  driver.poll(driver.module());
  driver.events.clear();

  // Plugging a camera in from another thread queues the event; nothing is called back then,
  // nor by the time that thread is done.
  std::thread([&driver] { driver.control("plug 7"); }).join();
  platform::sleepMs(20);
  EXPECT_TRUE(driver.events.empty());

  ASSERT_EQ(driver.poll(driver.module()), 0);
  ASSERT_EQ(driver.events.size(), 1u);
  EXPECT_EQ(driver.events[0].event, static_cast<maid::ULONG>(kNkMAIDEvent_AddChild));
  EXPECT_EQ(driver.events[0].insideCall, static_cast<maid::ULONG>(kNkMAIDCommand_Async))
      << "called back outside the caller's Async";

  // A closed module delivers nothing more.
  driver.control("unplug 7");
  ASSERT_EQ(driver.closeModule(), 0);
  EXPECT_EQ(driver.events.size(), 1u);
}

}  // namespace
