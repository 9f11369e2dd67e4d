// The simulator's own contract, which every camera test relies on: like a real module it
// never calls back on its own. Events, data blocks and completions arrive only inside one of
// the caller's SDK calls, on the caller's thread.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "camera/maid/maid.h"
#include "platform/platform.h"

namespace {

struct CCallbackLog {
  std::vector<maid::ULONG> events;
  std::thread::id thread;
  int insideCall = 0;     // > 0 while one of our SDK calls runs
  int outsideCalls = 0;   // callbacks that came when no call of ours was running
};
CCallbackLog g_log;

void EventProc(maid::NKREF, maid::ULONG event, maid::NKPARAM) {
  if (g_log.insideCall == 0) ++g_log.outsideCalls;
  g_log.thread = std::this_thread::get_id();
  g_log.events.push_back(event);
}

class SimContract : public ::testing::Test {
 protected:
  void SetUp() override {
    void* library = platform::loadModule(platform::executableDirectory() + "Type0001.md3");
    ASSERT_NE(library, nullptr);
    entry = reinterpret_cast<maid::EntryPoint>(platform::findSymbol(library, maid::kEntryPointName));
    control = reinterpret_cast<int (*)(const char*)>(platform::findSymbol(library, "LbSimControl"));
    ASSERT_TRUE(entry && control);
    unsetenv("LBSIM_SCENARIO");
    ASSERT_EQ(control("reset"), 0);
    g_log = CCallbackLog{};
  }
  maid::NKERROR call(maid::MaidObject* object, maid::ULONG command, maid::ULONG param = 0,
                     maid::ULONG dataType = 0, maid::NKPARAM data = 0) {
    ++g_log.insideCall;
    const maid::NKERROR result = entry(object, command, param, dataType, data, nullptr, nullptr);
    --g_log.insideCall;
    return result;
  }
  maid::EntryPoint entry = nullptr;
  int (*control)(const char*) = nullptr;
};

TEST_F(SimContract, EventsWaitForTheCallersAsync) {
  maid::MaidObject module{};
  ASSERT_EQ(call(nullptr, kNkMAIDCommand_Open, 0, kNkMAIDDataType_ObjectPtr,
                 reinterpret_cast<maid::NKPARAM>(&module)), 0);
  maid::MaidCallback callback{reinterpret_cast<void*>(&EventProc), nullptr};
  ASSERT_EQ(call(&module, kNkMAIDCommand_CapSet, kNkMAIDCapability_EventProc,
                 kNkMAIDDataType_CallbackPtr, reinterpret_cast<maid::NKPARAM>(&callback)), 0);

  // Plugging a camera in from another thread queues the event; nothing is called back then,
  // nor by the time that thread is done.
  std::thread([this] { control("plug 7"); }).join();
  platform::sleepMs(20);
  EXPECT_TRUE(g_log.events.empty());

  ASSERT_EQ(call(&module, kNkMAIDCommand_Async), 0);
  ASSERT_EQ(g_log.events.size(), 1u);
  EXPECT_EQ(g_log.events[0], kNkMAIDEvent_AddChild);
  EXPECT_EQ(g_log.thread, std::this_thread::get_id());
  EXPECT_EQ(g_log.outsideCalls, 0);

  // A closed module delivers nothing more.
  control("unplug 7");
  ASSERT_EQ(call(&module, kNkMAIDCommand_Close), 0);
  EXPECT_EQ(g_log.events.size(), 1u);
}

}  // namespace
