// Every call a session makes to a camera's module fails in its turn, one failing call per run
// of the session, as a database's I/O-error tests fail each write: whatever the call, the host
// keeps the rules of its message stream and of the captures (tests/capture_ledger.h), no
// release passes in silence, and no record is used after it was closed.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "camera/download/capture_file_names.h"
#include "tests/camera/sim_fixture.h"
#include "tests/capture_ledger.h"

namespace {

namespace fs = std::filesystem;
using namespace simtest;

class SdkCallFailureTest : public SimFixture {
 protected:
  // One camera with small files, so a session makes few calls.
  std::string scenario() const override {
    return "module Type0001\ncamera 1 raw-bytes=9000 photo-width=32 format=raw+jpeg name=D850\n";
  }

  // The session, from the module's opening to "shutdown", its messages checked as they come.
  void runSession(CCaptureLedger& ledger) LB_REQUIRES(g_sdkLock) {
    std::uint32_t id = 0;
    bool connected = false, moduleOpen = false;
    auto take = [&] {
      for (const auto& m : TakeAll())
        ledger.see(m->requestId, m->name->getString(), m->value.get());
    };
    auto send = [&](const char* name, std::unique_ptr<ZnLuaTETable> params = nullptr) {
      onCameraThread();
      const std::string n = name;
      connected |= n == "connectDevice";
      // Answered whatever the camera does, once its module is open ("shutdown" is answered by
      // the process, after the worker has ended).
      ledger.sent(++id, n,
                  n == "listDevices" ||
                      (moduleOpen && (n == "getCameraSettings" || n == "updateCameraSetting" ||
                                      (n == "isLiveViewOn" && connected))));
      const ZnLuaTEString value(n);
      const unsigned news = ledger.news();
      const bool ended = DispatchAndSettle(id, &value, params.get());
      take();
      // No release passes in silence: it brings its file, or the host hears why not.
      if (ledger.news() == news && n == "doCapture")
        ADD_FAILURE() << "#" << id << " doCapture: nothing came";
      return ended;
    };
    const std::string folder = g_downloadDirectory;  // which a new manager sets afresh
    manager = CNikonModuleManager::getInstance();
    g_downloadDirectory = folder;
    moduleOpen = module1() != nullptr;
    send("listDevices");
    send("connectDevice", DeviceParams(0x101));
    send("getCameraSettings", DeviceParams(0x101));
    auto change = DeviceParams(0x101);
    change->setString("param_key", "apertureValue");
    change->setNumber("param_value", 2);
    send("updateCameraSetting", std::move(change));
    send("doCapture");
    send("toggleLiveView");
    for (int tick = 0; tick < 3; ++tick) PumpAndSettle(manager);
    send("isLiveViewOn");
    send("toggleLiveView");
    auto focus = std::make_unique<ZnLuaTETable>();
    focus->setNumber("focus_direction", -1);
    send("setCameraFocus", std::move(focus));
    send("doAutoFocus");
    send("doCapture");
    EXPECT_TRUE(send("shutdown"));
    manager = nullptr;
    take();
  }
};

TEST_F(SdkCallFailureTest, EachCallFailingInItsTurnBreaksNoHostRule) {
  onCameraThread();
  const fs::path folder = PrivateTempPath("lb_call_failures");
  auto* calls = SimFunction<unsigned()>("Type0001.md3", "LbSimCalls");
  auto* callsAfterClose = SimFunction<unsigned()>("Type0001.md3", "LbSimCallsAfterClose");
  ASSERT_TRUE(calls && callsAfterClose);
  CNikonModuleManager::DestroyInstance();
  for (unsigned failing = 1;; ++failing) {
    SCOPED_TRACE("call " + std::to_string(failing) + " failing");
    fs::remove_all(folder);
    fs::create_directories(folder);
    g_downloadDirectory = folder.string() + "/";
    CCaptureFileNames::instance().restartNumbering();
    BetweenTurns([&] {
      SimControl("Type0001.md3", "reset");  // which puts it back on real time: not so
      SimControl("Type0001.md3", "clock " + std::to_string(CTestClock::Now()));
      SimControl("Type0001.md3", "fault call " + std::to_string(failing));
      return 0;
    });
    std::string broken;
    // Both of the camera's shots: its RAW files 9000 bytes long, its JPEGs 32 pixels wide.
    CCaptureLedger ledger(
        [&](const char* rule, const std::string& detail) {
          broken += std::string(rule) + ": " + detail + "\n";
        },
        folder,
        [](const std::vector<unsigned char>& bytes, const std::string&) {
          return SimCameraMade(bytes, 1, 1, 9000, 32) || SimCameraMade(bytes, 1, 2, 9000, 32);
        });
    runSession(ledger);
    ledger.checkEnd(true);
    EXPECT_EQ(broken, "");
    EXPECT_EQ(callsAfterClose(), 0u);
    if (HasFailure()) break;
    if (calls() < failing) {  // every call has failed once: this run failed none
      EXPECT_EQ(FilesIn(folder).size(), 4u) << "the session without a failure brings both pairs";
      break;
    }
  }
  fs::remove_all(folder);
}

}  // namespace
