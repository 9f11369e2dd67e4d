// What the host receives: the messages the camera layer reports through the installed host,
// and the host's requests as the bytes of a pipe message through the path the transport takes
// (decoding, the dispatcher's match by name, the commands on the simulated cameras) with what
// comes back as the bytes the transport writes: the names, request ids and payload keys the
// host reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/camera_commands.h"
#include "bridge/camera_worker.h"
#include "bridge/dispatcher.h"
#include "bridge/notifications.h"
#include "camera/camera/camera.h"
#include "hostlink/host_request.h"
#include "hostlink/outgoing_queue.h"
#include "lbhost/vocabulary/value_printer.h"
#include "tests/camera/sim_fixture.h"
#include "values/lua_value.h"
#include "values/message_frame.h"

namespace {

namespace fs = std::filesystem;
using namespace simtest;

// A message as the host's tools print it: "#7 ok {status = \"liveViewOn\"}".
std::string Describe(const DecodedMessage& message) {
  return FormatHostMessage(message.requestId, message.name.get(), message.payload.get());
}

// Every queued message as the host decodes it from the bytes the transport writes.
std::vector<DecodedMessage> Received() {
  std::vector<DecodedMessage> messages;
  while (auto message = TakeOutgoingMessage()) {
    std::string frame;
    EXPECT_TRUE(EncodeMessageForHost(*message, frame));
    messages.push_back(DecodeMessageFrame(frame.data(), frame.size()));
  }
  return messages;
}

// A request handed to the worker.
void Post(CTestWorker& test, std::uint32_t id, const char* name, const ZnLuaTE* params = nullptr) {
  const ZnLuaTEString nameValue(name);
  test.worker.post(id, &nameValue, params);
}

// The camera thread's turns as the process runs them, its lanes on threads of their own and
// real time: each message as the host decodes it goes to `see`, until `done` or 30 s.
template <typename See, typename Done>
void RunTurns(CTestWorker& test, See see, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    const unsigned waitMs = test.worker.runTurn();
    for (auto& message : Received()) see(message);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(waitMs, 2u)));
  }
}

// Every queued message described, one a line.
std::string Transcript() {
  std::string lines;
  for (const auto& message : Received()) lines += Describe(message) + "\n";
  return lines;
}

TEST(HostNotifications, FilesKeepTheirCaptureIdAndErrorsNameOnlyAnnouncedOnes) {
  DiscardOutgoingMessages();
  CSdkLockGuard lock(g_sdkLock);
  CHostNotifications host;
  EXPECT_EQ(host.fileAnnounced({0x101, "Capture0001.nef", 1000, true, "DSC_0001.NEF", 0}), 1);
  EXPECT_EQ(host.fileAnnounced({0x101, "Capture0001.jpg", 200, false, "", 0}), 2);
  host.fileDownloaded(2, "C:\\Temp\\Capture0001.jpg", 15);
  host.downloadFailed(-7, "writing the file fell short", 2);
  host.shotLost(0x101, -8, "the camera refused the release");
  host.deviceAdded(0x1701, "Z 7");
  host.deviceRemoved(0x1702);
  host.liveViewFrame(0x101, {0xFF, 0xD8, 0xFF, 0xD9});
  EXPECT_EQ(Transcript(),
            "#0 objectWasAdded {camera_file_name = \"DSC_0001.NEF\", capture_id = 1, file_name = "
            "\"Capture0001.nef\", file_size = 1000, has_sidecar = 1}\n"
            "#0 objectWasAdded {capture_id = 2, file_name = \"Capture0001.jpg\", file_size = 200, "
            "has_sidecar = 0}\n"
            "#0 fileDownloadComplete {capture_id = 2, file_download_time = 15, file_path = "
            "\"C:\\\\Temp\\\\Capture0001.jpg\"}\n"
            "#0 error {capture_id = 2, error_code = -7, error_description = \"writing the file "
            "fell short\"}\n"
            "#0 error {error_code = -8, error_description = \"the camera refused the release\"}\n"
            "#0 deviceAdded {device_id = 5889, name = \"Z 7\"}\n"
            "#0 deviceRemoved {device_id = 5890}\n"
            "#0 liveViewImage {image = <data 4 bytes>, size = 4}\n");
}

// The two simulated modules with a download folder of the test's own, camera 0x101 connected.
class RequestPathTest : public ConnectedCameraTest {
 protected:
  // One request as the host writes it, run until its work is done; true when it ended the
  // session.
  bool request(std::uint32_t id, const std::string& name, const ZnLuaTE* params = nullptr) {
    const ZnLuaTEString nameValue(name);
    return request(EncodeMessageFrame(id, &nameValue, params));
  }
  bool request(std::uint32_t id, const std::string& name, double deviceId) {
    return request(id, name, DeviceParams(deviceId).get());
  }
  bool request(const std::string& bytes) {
    bool ended = false;
    HandleHostRequest(bytes.data(), bytes.size(),
                      [&](std::uint32_t id, const ZnLuaTE* name, const ZnLuaTE* params) {
                        g_sdkLock.assertHeld();
                        ended = DispatchAndSettle(id, name, params);
                      });
    return ended;
  }

  // The answer to a request that does not end the session: each message with a request id,
  // described, one a line (notifications are dropped).
  template <typename... Params>
  std::string answer(std::uint32_t id, const std::string& name, Params... params) {
    EXPECT_FALSE(request(id, name, params...)) << name;
    std::string replies;
    for (const auto& message : Received())
      if (message.requestId != 0) replies += (replies.empty() ? "" : "\n") + Describe(message);
    return replies;
  }
};

TEST_F(RequestPathTest, EveryCommandAnswersByItsNameWithTheKeysTheHostReads) {
  onCameraThread();
  const std::string refused = "error {error_code = 65535, error_description = ";
  EXPECT_EQ(answer(4, "getCameraSettings", 0x1701),
            "#4 " + refused + "\"Module specified was not connected\"}");
  EXPECT_EQ(answer(4, "getCameraSettings", 0x102),
            "#4 " + refused + "\"Camera specified was not connected\"}");
  // A setting changed: the answer is the settings as the host reads them, with the new value
  // and each list numbered from 0.
  const auto change = DeviceParams(0x101);
  change->setString("param_key", "apertureValue");
  change->setNumber("param_value", 4);
  EXPECT_TRUE(std::regex_match(
      answer(6, "updateCameraSetting", change.get()),
      std::regex("#6 ok \\{AFButtonPressed = \"Off\", aperture = \"f/8\", apertureEntries = "
                 "\\{\\[0\\] = \"f/1.8\", \\[1\\] = \"f/2.8\", .*, whiteBalance = \"Auto\"\\}")));

  ZnLuaTETable focus;
  focus.setNumber("focus_direction", -2);
  const double lens = SimLensPosition("Type0001.md3", 1);
  EXPECT_FALSE(request(7, "setCameraFocus", &focus));
  EXPECT_TRUE(Received().empty());
  EXPECT_NE(SimLensPosition("Type0001.md3", 1), lens) << "the lens was not driven";
  EXPECT_EQ(answer(8, "doAutoFocus"), "#8 ok {status = \"AutoFocusOff\"}");
  EXPECT_EQ(answer(9, "doAutoFocus"), "#9 ok {status = \"AutoFocusOn\"}");
  // Live view on (its answer behind fresh settings is the worker test's), then off.
  EXPECT_EQ(answer(10, "toggleLiveView"), "#10 ok");
  EXPECT_EQ(answer(11, "toggleLiveView"), "#11 ok");
  // No camera at all.
  EXPECT_FALSE(request(13, "disconnectDevice", 0x101));
  EXPECT_FALSE(request(13, "disconnectDevice", 0x101));  // nothing left to disconnect
  EXPECT_TRUE(Received().empty());
  EXPECT_EQ(answer(14, "getCameraSettings", 0x101),
            "#14 " + refused + "\"No camera is connected\"}");
  // A release without a camera is not passed over in silence; when the connected camera was
  // unplugged, it says which went.
  const std::string notTaken = "#0 " + refused + "\"The picture was not taken: ";
  EXPECT_FALSE(request(15, "doCapture"));
  EXPECT_EQ(Transcript(), notTaken + "no camera is connected\"}\n");
  EXPECT_EQ(answer(16, "connectDevice", 0x101), "#16 ok");
  SimControl("Type0001.md3", "unplug 1");
  PumpAndSettle(manager);
  EXPECT_FALSE(request(17, "doCapture"));
  EXPECT_EQ(Transcript(),
            "#0 deviceRemoved {device_id = 257}\n" + notTaken +
                "the connected camera D850 (device 257) is gone; connect it again\"}\n");
  EXPECT_EQ(answer(18, "connectDevice", 0x102), "#18 ok");
  EXPECT_FALSE(request(19, "doCapture"));  // once another is connected, the releases are its own
  EXPECT_EQ(TakeNamed("error").size(), 0u);
}

// The camera worker's queue, as the process runs it: requests in the order they came, a
// command that waits (live view right after the connection's settings) holding up only those
// behind it, and "shutdown" ending the session with its own id, nothing after it run, and the
// next session's worker starting with no cameras loaded anew.
TEST_F(RequestPathTest, TheWorkerRunsRequestsInOrderAndEndsAtShutdown) {
  onCameraThread();
  CTestWorker test;
  auto post = [&](std::uint32_t id, const char* name) {  // as the pipe thread hands it over
    const std::string bytes =
        EncodeMessageFrame(id, std::make_unique<ZnLuaTEString>(name).get(), nullptr);
    HandleHostRequest(bytes.data(), bytes.size(),
                      [&](auto i, auto n, auto p) { test.worker.post(i, n, p); });
  };
  // A host that leaves while a command waits takes it along.
  post(4, "toggleLiveView");
  EXPECT_GT(test.turn(), 0u);
  test.worker.cancel();
  post(4, "isLiveViewOn");
  EXPECT_FALSE(BetweenTurns([&] { return test.worker.offerStandingReplies(); })) << "#4 waits";
  test.turn();
  EXPECT_FALSE(test.worker.busy());
  EXPECT_TRUE(BetweenTurns([&] { return test.worker.offerStandingReplies(); }));
  post(3, "isLiveViewOn");  // the sleeping camera thread's answer, as nothing is ahead of it
  EXPECT_EQ(Transcript(), "#4 ok {status = \"liveViewOff\"}\n#3 ok {status = \"liveViewOff\"}\n")
      << "answered at once";

  post(5, "toggleLiveView");
  post(6, "isLiveViewOn");  // not by the answer left: #5 went ahead of it
  const unsigned waitMs = test.turn();
  EXPECT_GT(waitMs, 0u) << "the settings were sent at the connection, under half a second ago";
  EXPECT_LE(waitMs, 500u);
  EXPECT_TRUE(Received().empty()) << "nothing before the half second, nor behind it";
  ASSERT_TRUE(test.runUntilIdle());
  std::string transcript;
  for (const auto& message : Received())
    if (message.name->getString() != "liveViewImage")
      transcript += (message.requestId ? Describe(message) : message.name->getString()) + "\n";
  EXPECT_EQ(transcript, "cameraSettingsChanged\n#5 ok\n#6 ok {status = \"liveViewOn\"}\n");

  post(7, "shutdown");
  post(8, "isLiveViewOn");
  ASSERT_TRUE(test.runUntilIdle());
  post(9, "isLiveViewOn");
  test.turn();
  EXPECT_EQ(test.worker.phase(), CCameraWorker::Phase::Ended);
  EXPECT_EQ(test.sessionEnds, std::vector<std::uint32_t>{7});
  EXPECT_TRUE(Received().empty()) << "nothing after shutdown is run";
  EXPECT_EQ(CNikonModuleManager::existingInstance(), nullptr);
  manager = nullptr;
  // The next session: answered, with no cameras, and no module loaded anew.
  EXPECT_EQ(answer(10, "listDevices"), "#10 ok {devices = {}}");
  EXPECT_FALSE(request(11, "connectDevice"));
  EXPECT_EQ(CNikonModuleManager::existingInstance(), nullptr);
}

// A host that asks for the cameras as the process starts hears of those that were there all
// along: the listing waits for each lane's first scan of its module, on a thread of its own.
TEST_F(SimFixture, AListingAsTheLanesStartWaitsForTheirFirstScans) {
  onCameraThread();
  std::string answer;
  BetweenTurns([&] {
    CTestWorker test(CModuleLane::Mode::OwnThread);
    Post(test, 1, "listDevices");
    RunTurns(
        test, [&](const DecodedMessage& m) { answer = m.requestId == 1 ? Describe(m) : answer; },
        [&] { return !answer.empty(); });
    return 0;
  });
  EXPECT_EQ(answer,
            "#1 ok {devices = {[1] = {device_id = 257, name = \"D850\"}, [2] = {device_id = 258, "
            "name = \"Z 7\"}, [3] = {device_id = 5889, name = \"D850\"}, [4] = {device_id = 5890, "
            "name = \"Z 7\"}}}");
}

// The pipe thread posts while the camera thread works, as in the process: every request runs
// once, in the order it came, and is answered under its own id. The ThreadSanitizer build
// runs this too, so a race between the two threads fails here.
TEST_F(RequestPathTest, RequestsPostedWhileTheWorkerWorksRunOnceInOrder) {
  onCameraThread();
  CTestWorker test;
  constexpr std::uint32_t kRequests = 200;
  std::atomic<bool> posted{false};
  std::thread pipeThread([&] {
    for (std::uint32_t id = 1; id <= kRequests; ++id) Post(test, id, "isLiveViewOn");
    posted = true;
  });
  std::vector<std::uint32_t> answered;
  for (int pass = 0; pass < 100000 && answered.size() < kRequests; ++pass) {
    test.turn();
    for (const auto& message : Received()) answered.push_back(message.requestId);
    if (posted && answered.size() < kRequests) std::this_thread::yield();
  }
  pipeThread.join();
  std::vector<std::uint32_t> expected(kRequests);
  for (std::uint32_t i = 0; i < kRequests; ++i) expected[i] = i + 1;
  EXPECT_EQ(answered, expected);
  EXPECT_EQ(test.wakes.load(), static_cast<int>(kRequests));
}

// Two cameras on two modules downloading at once, on a clock that moves 1 ms with every reading
// and links that hand over a block at every poll: the long operations give each camera its
// share of a turn and stay within their budget, a burst of requests waits for the next turn
// rather than stalling the transfers, and every turn answers requests. Then one
// camera is unplugged mid-transfer: its file is reported lost, and the other's arrives whole.
class SharedTurnTest : public RequestPathTest {
 protected:
  // Camera 1 of each module makes 48 MB pictures, so a transfer spans several turns.
  std::string scenario() const override {
    return "camera 1 type=43 exposure=3 raw-bytes=48000000 name=D850\n"
           "camera 2 type=44 exposure=1 iso-auto=1 name=Z 7\n";
  }
};

TEST_F(SharedTurnTest, CamerasShareEachTurnAndOneLeavingDisturbsNoOther) {
  onCameraThread();
  for (const char* module : {"Type0001.md3", "Type0023.md3"}) {
    SimControl(module, "format raw 1");
    SimControl(module, "habit block-a-poll on 1");
  }
  HandleConnectDevice(3, DeviceParams(0x1701).get());
  CCamera* other = module23()->m_currentCamera;
  HandleConnectDevice(4, DeviceParams(0x101).get());
  ASSERT_TRUE(other && module1()->m_currentCamera == camera &&
              manager->m_currentModule == module1());
  TakeAll();
  CTestWorker test;
  camera->capture();
  other->capture();
  auto partSizes = [&] {
    std::map<std::string, std::uintmax_t> sizes;
    for (const auto& name : FilesIn(m_folder))
      if (name.size() > 5 && name.substr(name.size() - 5) == ".part")
        sizes[name] = fs::file_size(m_folder / name);
    return sizes;
  };
  clock->tickOnEveryRead(1);
  std::map<std::string, std::uintmax_t> before;
  std::map<std::string, int> counts;  // the messages other than the answers
  std::uint32_t nextId = 100, answered = 0;
  int turnsWithBoth = 0;
  auto busy = [&] {
    onCameraThread();
    return manager->hasDownloads() || manager->hasReleases();
  };
  for (int turn = 0; turn < 40 && busy(); ++turn) {
    SCOPED_TRACE("turn " + std::to_string(turn));
    for (int i = 0; turn % 2 == 0 && i < 30; ++i) Post(test, nextId++, "isLiveViewOn");
    test.turn();
    const std::uint32_t answeredBefore = answered;
    for (auto& message : TakeAll())
      (message->name->getString() == "ok" ? ++answered : ++counts[message->name->getString()]);
    EXPECT_LE(answered - answeredBefore, kCommandBudgetMs + 2)
        << "a burst of requests runs before the transfers";
    EXPECT_GT(answered, answeredBefore) << "requests wait behind the transfers";
    // The long operations' part of a turn, alone: the last poll of a share may run past it.
    const std::uint32_t start = clock->Now();
    bool delivering = false;
    manager->stepOperations(kCameraSliceMs, delivering);
    const std::uint32_t spent = clock->Now() - start;
    const auto after = partSizes();
    if (before.size() == 2 && after.size() == 2) {
      ++turnsWithBoth;
      EXPECT_LE(spent, kCameraSliceMs * 3 / 2);
      for (const auto& part : after)
        EXPECT_GT(part.second, before[part.first]) << part.first << " got no share";
    }
    before = after;
    if (turn == 3) SimControl("Type0023.md3", "unplug 1");
  }
  clock->tickOnEveryRead(0);
  EXPECT_GE(turnsWithBoth, 2);
  ASSERT_TRUE(test.runUntilIdle());
  for (auto& message : TakeAll())
    (message->name->getString() == "ok" ? ++answered : ++counts[message->name->getString()]);
  EXPECT_EQ(answered, nextId - 100);
  EXPECT_EQ(counts["fileDownloadComplete"], 1);
  EXPECT_EQ(counts["error"], 1) << "the unplugged camera's file";
  EXPECT_EQ(counts["deviceRemoved"], 1);
  EXPECT_EQ(FilesIn(m_folder).size(), 1u);
}

// A module that takes its picture inside the release call holds up only what needs that
// module. With the lanes on threads of their own, as in the process, and real time: during a
// three-second exposure of camera 0x101, "isLiveViewOn" and "listDevices" are answered and a
// 48 MB picture of a camera on the other module, on a 40 MB/s link, arrives whole. A
// "connectDevice" to the other module waits for the release it would change the camera of.
// The ThreadSanitizer build runs this too.
TEST_F(SharedTurnTest, ALongModuleCallHoldsUpOnlyItsModule) {
  onCameraThread();
  clock.reset();
  BetweenTurns([] {  // as the lanes call the modules: without the SDK lock
    for (const char* module : {"Type0001.md3", "Type0023.md3"}) SimControl(module, "clock real");
    SimControl("Type0001.md3", "habit sync-complete on 1");
    SimControl("Type0001.md3", "exposure-ms 3000 1");
    for (const char* line : {"format raw 1", "habit slow-link on 1", "rate 40 1"})
      SimControl("Type0023.md3", line);
    return 0;
  });
  HandleConnectDevice(3, DeviceParams(0x1701).get());  // stays its module's camera
  HandleConnectDevice(4, DeviceParams(0x101).get());
  module23()->m_currentCamera->capture();
  TakeAll();
  std::vector<std::string> seen;  // answers by request id and notifications, as they came
  BetweenTurns([&] {
    CTestWorker test(CModuleLane::Mode::OwnThread);
    std::uint32_t id = 0;
    for (const char* name :
         {"doCapture", "isLiveViewOn", "listDevices", "connectDevice", "isLiveViewOn"})
      Post(test, ++id, name, DeviceParams(0x1702).get());
    RunTurns(
        test,
        [&](const DecodedMessage& m) {
          seen.push_back(m.requestId ? "#" + std::to_string(m.requestId) : m.name->getString());
        },
        [&] { return std::count(seen.begin(), seen.end(), "fileDownloadComplete") >= 2; });
    return 0;
  });
  // The other camera's file is announced first; the exposure's comes once it is over.
  const auto exposureEnd = std::find(std::find(seen.begin(), seen.end(), "objectWasAdded") + 1,
                                     seen.end(), "objectWasAdded");
  ASSERT_NE(exposureEnd, seen.end());
  for (const char* before : {"#2", "#3", "fileDownloadComplete"})
    EXPECT_LT(std::find(seen.begin(), seen.end(), before), exposureEnd) << before;
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "fileDownloadComplete"), 2);
}

// A rig of eight cameras, four on each module, each firing its own time after its release
// starts, on lanes of their own and real time. Two rig shots; the last camera is unplugged
// before it fires the second. Every camera's release is reported with its times (a camera
// never fires before its latency has passed), every file names its camera and rig shot, every
// announced file ends, and all files of the cameras that stayed arrive.
class RigTest : public RequestPathTest {
 protected:
  static std::uint32_t latencyMs(std::uint32_t deviceId) {
    return (deviceId & 0xFF) * 30 + (deviceId >> 8 == 0x17 ? 15 : 0);
  }
  std::string scenario() const override {
    std::string text;
    for (const std::uint32_t module : {0x100u, 0x1700u}) {
      text += module == 0x100 ? "module Type0001\n" : "module Type0023\n";
      for (std::uint32_t id = 1; id <= 4; ++id)
        text += "camera " + std::to_string(id) +
                " format=raw+jpeg raw-bytes=1000000 photo-width=160 habits=late-items "
                "release-latency-ms=" +
                std::to_string(latencyMs(module | id)) + " name=D850\n";
    }
    return text;
  }
};

TEST_F(RigTest, EightCamerasFireTogetherAndEveryFileNamesItsCameraAndShot) {
  onCameraThread();
  clock.reset();
  const std::uint32_t rig[] = {0x101, 0x102, 0x103, 0x104, 0x1701, 0x1702, 0x1703, 0x1704};
  constexpr std::uint32_t kUnplugged = 0x1704;
  std::vector<DecodedMessage> seen;
  BetweenTurns([&] {
    for (const char* module : {"Type0001.md3", "Type0023.md3"}) SimControl(module, "clock real");
    CTestWorker test(CModuleLane::Mode::OwnThread);
    std::uint32_t id = 10;
    auto post = [&](const char* name, std::unique_ptr<ZnLuaTETable> params) {
      Post(test, ++id, name, params.get());
    };
    for (std::uint32_t deviceId : rig) {
      auto params = DeviceParams(deviceId);
      params->setNumber("keep_connected", 1);
      post("connectDevice", std::move(params));
    }
    // A camera of the rig that is not the current one: its own settings, and its own report.
    auto setting = DeviceParams(0x102);
    setting->setString("param_key", "isoSpeedValue");
    setting->setNumber("param_value", 3);
    post("updateCameraSetting", std::move(setting));
    post("doRigCapture", std::make_unique<ZnLuaTETable>());
    bool unplugged = false;
    auto count = [&](const char* name) {
      return std::count_if(seen.begin(), seen.end(), [name](const DecodedMessage& message) {
        return message.name->getString() == name;
      });
    };
    auto see = [&](DecodedMessage& message) {
      // The second shot is released once the first one's files are all in.
      const bool firstDone = message.name->getString() == "fileDownloadComplete" &&
                             count("fileDownloadComplete") == 15;
      const bool secondStarted = message.requestId == 21;
      seen.push_back(std::move(message));
      if (firstDone) post("doRigCapture", std::make_unique<ZnLuaTETable>());
      if (secondStarted && !unplugged) {
        unplugged = true;
        SimControl("Type0023.md3", "unplug 4");
      }
    };
    // Until every release has ended and every file arrived.
    RunTurns(test, see,
             [&] { return count("rigReleaseEnded") >= 16 && count("fileDownloadComplete") >= 30; });
    return 0;
  });
  // Every file, announced once and ended once, holds a camera's shot; nothing else stays.
  std::string broken;
  CCaptureLedger ledger(
      [&](const char* rule, const std::string& detail) { broken += rule + (": " + detail); },
      m_folder,
      [](const std::vector<unsigned char>& bytes, const std::string&) {
        for (std::uint32_t camera = 1; camera <= 4; ++camera)
          for (std::uint32_t shot = 1; shot <= 2; ++shot)
            if (SimCameraMade(bytes, camera, shot, 1000000, 160)) return true;
        return false;
      });
  std::map<std::pair<double, double>, int> filesOf;  // by camera and rig shot
  std::map<std::string, int> rigShots;               // the doRigCapture answers
  std::map<double, int> settingsOf;                  // reports by camera
  for (const DecodedMessage& message : seen) {
    const std::string name = message.name->getString();
    auto number = [&](const char* key) { return Number(message.payload.get(), key); };
    if (message.requestId == 0 && name != "deviceRemoved")
      ledger.see(0, name, message.payload.get());
    if (message.requestId > 19) rigShots[name + " " + std::to_string(number("rig_shot"))]++;
    if (message.requestId == 19) settingsOf.clear();  // the reports after the change
    if (name == "cameraSettingsChanged") ++settingsOf[number("device_id")];
    if (name == "objectWasAdded") ++filesOf[{number("device_id"), number("rig_shot")}];
    if (name == "fileDownloadComplete" || (name == "error" && number("capture_id") > 0))
      EXPECT_GT(number("device_id"), 0) << Describe(message);
    if (name != "rigReleaseEnded") continue;
    const auto deviceId = static_cast<std::uint32_t>(number("device_id"));
    if (deviceId == kUnplugged && number("rig_shot") == 2) {
      EXPECT_EQ(number("fired_ms"), -12345.0) << Describe(message);
      EXPECT_NE(number("error_code"), -12345.0) << Describe(message);
    } else {
      EXPECT_GE(number("fired_ms"), number("started_ms") + latencyMs(deviceId) - 1)
          << Describe(message);
    }
  }
  EXPECT_EQ(rigShots, (std::map<std::string, int>{{"ok 1.000000", 1}, {"ok 2.000000", 1}}));
  EXPECT_GE(settingsOf[0x102], 1) << "the changed camera's own report";
  for (std::uint32_t deviceId : rig) {
    for (double shot : {1.0, 2.0}) {
      const int expected = deviceId == kUnplugged && shot == 2 ? 0 : 2;
      EXPECT_EQ((filesOf[{deviceId, shot}]), expected) << deviceId << " shot " << shot;
    }
  }
  ledger.checkEnd(true);
  EXPECT_EQ(broken, "");
  EXPECT_EQ(FilesIn(m_folder).size(), 30u);
}

// "shutdown" right behind three releases of a camera on a slow link: each release ends with
// its file, and none is reported lost while its picture can still come.
TEST_F(RequestPathTest, ShutdownLetsTheReleasesStillComingBringTheirFiles) {
  onCameraThread();
  SimControl("Type0001.md3", "format raw 1");
  SimControl("Type0001.md3", "habit slow-link on 1");
  SimControl("Type0001.md3", "rate 500 1");
  for (int shot = 0; shot < 3; ++shot) camera->capture();
  EXPECT_TRUE(request(3, "shutdown"));
  manager = nullptr;
  std::map<std::string, int> counts;
  for (const auto& message : Received()) ++counts[message.name->getString()];
  EXPECT_EQ(counts,
            (std::map<std::string, int>{{"fileDownloadComplete", 3}, {"objectWasAdded", 3}}));
}

TEST_F(RequestPathTest, OnlyTheWholeNameOfACommandRunsIt) {
  // The first request id is as good as any.
  EXPECT_EQ(answer(1, "isLiveViewOn"), "#1 ok {status = \"liveViewOff\"}");
  for (const char* nearMiss :
       {"isLiveViewOn ", "isLiveViewO", "islivevieWon", "IsLiveViewOn", "", "shutdow", "shutdown2"})
    EXPECT_FALSE(request(4, nearMiss)) << nearMiss;
  EXPECT_NE(CNikonModuleManager::existingInstance(), nullptr);
  const ZnLuaTENumber number(1);  // nor does a name that is no string
  EXPECT_FALSE(request(EncodeMessageFrame(6, &number, nullptr)));
  EXPECT_TRUE(Received().empty());
}

// Guards a mended fault, hostile input from the pipe: a number outside the 32-bit range (or NaN),
// converted as it stood, was undefined behaviour. No mutant of either sample reaches it.
TEST(DeviceIdFromParams, TruncatesWithinThe32BitRangeAndIsZeroOtherwise) {
  const struct {
    double value;
    int id;
  } cases[] = {{0x1702, 0x1702},
               {257.9, 257},
               {-257.9, -257},
               {2147483647.0, 2147483647},
               {2147483647.5, 2147483647},
               {-2147483648.0, -2147483647 - 1},
               {2147483648.0, 0},
               {-2147483649.0, 0},
               {4294967296.0 + 0x101, 0},
               {std::numeric_limits<double>::quiet_NaN(), 0},
               {std::numeric_limits<double>::infinity(), 0}};
  for (const auto& c : cases)
    EXPECT_EQ(GetDeviceIdFromParams(DeviceParams(c.value).get()), c.id) << c.value;
  ZnLuaTETable text;
  text.setString("device_id", "257");
  const ZnLuaTENumber notATable(257);
  for (const ZnLuaTE* params : std::initializer_list<const ZnLuaTE*>{&text, &notATable, nullptr})
    EXPECT_EQ(GetDeviceIdFromParams(params), 0) << FormatValue(params);
}

}  // namespace
