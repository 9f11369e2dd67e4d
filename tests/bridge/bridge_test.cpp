// What the host receives: the messages the camera layer reports through the installed host,
// and the host's requests as the bytes of a pipe message through the path the transport takes
// (decoding, the dispatcher's match by name, the commands on the simulated cameras) with what
// comes back as the bytes the transport writes: the names, request ids and payload keys the
// host reads.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/camera_commands.h"
#include "bridge/camera_worker.h"
#include "bridge/dispatcher.h"
#include "bridge/notifications.h"
#include "camera/camera/camera.h"
#include "camera/download/download_directory.h"
#include "camera/maid/maid.h"
#include "hostlink/host_request.h"
#include "hostlink/outgoing_queue.h"
#include "tests/camera/sim_fixture.h"
#include "values/lua_value.h"
#include "values/message_frame.h"

namespace {

namespace fs = std::filesystem;
using namespace simtest;

// A value as the host reads it: a table as "key=value ..." in table order (in braces when it is
// nested), data as its size and first two bytes.
std::string Show(const ZnLuaTE* value, bool nested = true) {
  std::ostringstream out;
  out.precision(15);
  if (const auto* table = dynamic_cast<const ZnLuaTETable*>(value)) {
    for (const auto& entry : *table)
      out << (out.tellp() ? " " : "") << Show(entry.first) << "=" << Show(entry.second);
    return nested ? "{" + out.str() + "}" : out.str();
  }
  const auto* data = dynamic_cast<const ZnLuaTEData*>(value);
  if (data && data->size() > 1)
    out << "<" << data->size() << " bytes " << std::hex << data->bytes()[0] * 256 + data->bytes()[1] << ">";
  else if (value->type == kZnLuaNumber) out << value->getNumber();
  else out << value->getString();
  return out.str();
}

// A message as "name #id key=value ...".
std::string Describe(const DecodedMessage& message) {
  const std::string payload = Show(message.payload.get(), false);
  return message.name->getString() + " #" + std::to_string(message.requestId) +
         (payload.empty() ? "" : " " + payload);
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

// Every queued message described, one a line.
std::string Transcript() {
  std::string lines;
  for (const auto& message : Received()) lines += Describe(message) + "\n";
  return lines;
}

TEST(HostNotifications, FilesKeepTheirCaptureIdAndErrorsNameOnlyAnnouncedOnes) {
  DiscardOutgoingMessages();
  CHostNotifications host;
  EXPECT_EQ(host.fileAnnounced("Capture0001.nef", 1000, true, "DSC_0001.NEF"), 1);
  EXPECT_EQ(host.fileAnnounced("Capture0001.jpg", 200, false, ""), 2);
  host.fileDownloaded(2, "C:\\Temp\\Capture0001.jpg", 15);
  host.downloadFailed(-7, "writing the file fell short", 2);
  host.downloadFailed(-8, "the camera refused the release", 0);
  host.deviceAdded(0x1701, "Z 7");
  host.deviceRemoved(0x1702);
  EXPECT_EQ(Transcript(),
            "objectWasAdded #0 camera_file_name=DSC_0001.NEF capture_id=1 file_name=Capture0001.nef "
            "file_size=1000 has_sidecar=1\n"
            "objectWasAdded #0 capture_id=2 file_name=Capture0001.jpg file_size=200 has_sidecar=0\n"
            "fileDownloadComplete #0 capture_id=2 file_download_time=15 file_path=C:\\Temp\\Capture0001.jpg\n"
            "error #0 capture_id=2 error_code=-7 error_description=writing the file fell short\n"
            "error #0 error_code=-8 error_description=the camera refused the release\n"
            "deviceAdded #0 device_id=5889 name=Z 7\n"
            "deviceRemoved #0 device_id=5890\n");
}

// The two simulated modules with a download folder of the test's own, camera 0x101 connected.
class RequestPathTest : public ConnectedCameraTest {
 protected:
  void TearDown() override LB_RELEASE(g_sdkLock) {
    SetHeartbeatStopHook(nullptr);
    ConnectedCameraTest::TearDown();
  }

  // One request as the host writes it, handed to `handler`; returns 1 when it ended the session.
  int request(std::uint32_t id, const std::string& name, const ZnLuaTE* params = nullptr,
              HostRequestHandler handler = DispatchAndSettle) {
    const ZnLuaTEString nameValue(name);
    const std::string bytes = EncodeMessageFrame(id, &nameValue, params);
    return HandleHostRequest(bytes.data(), bytes.size(), handler);
  }
  int request(std::uint32_t id, const std::string& name, double deviceId) {
    return request(id, name, DeviceParams(deviceId).get());
  }

  // The answer to a request that does not end the session: each message with a request id,
  // described, one a line (notifications are dropped).
  template <typename... Params>
  std::string answer(std::uint32_t id, const std::string& name, Params... params) {
    EXPECT_EQ(request(id, name, params...), 0) << name;
    std::string replies;
    for (const auto& message : Received())
      if (message.requestId != 0) replies += (replies.empty() ? "" : "\n") + Describe(message);
    return replies;
  }
};

TEST_F(RequestPathTest, EveryCommandAnswersByItsNameWithTheKeysTheHostReads) {
  onCameraThread();
  EXPECT_EQ(answer(1, "listDevices"), "ok #1 devices={1={device_id=257 name=D850} 2={device_id=258 name=Z 7} "
                                      "3={device_id=5889 name=D850} 4={device_id=5890 name=Z 7}}");
  // The last camera of the last module loaded; then one that shares its module, and one that
  // shares its camera id: each is another camera, connected in its turn.
  for (double deviceId : {0x1702, 0x1701, 0x101}) {
    EXPECT_EQ(answer(2, "connectDevice", deviceId), "ok #2");
    EXPECT_TRUE(std::regex_match(answer(3, "getCameraSettings", deviceId),
                                 std::regex("ok #3 .* aperture=f/.*"))) << deviceId;
  }
  const std::string refused = "error #4 error_code=65535 error_description=";
  EXPECT_EQ(answer(4, "getCameraSettings", 0x1701), refused + "Module specified was not connected");
  EXPECT_EQ(answer(4, "getCameraSettings", 0x102), refused + "Camera specified was not connected");
  // The settings with their entries; then one changed, and the answer shows the new value.
  EXPECT_EQ(answer(5, "getCameraSettings", 0x101),
            "ok #5 AFButtonPressed=Off aperture=f/4 apertureEntries={0=f/1.8 1=f/2.8 2=f/4 3=f/5.6 4=f/8 "
            "5=f/11 6=f/16 7=f/22} focusMode=autoFocusMode isoEntries={0=64 1=100 2=200 3=400 4=800 5=1600 "
            "6=3200 7=6400 8=12800} isoSpeed=100 shutter=1/250 shutterEntries={0=30\" 1=4\" 2=1\" 3=1/4 "
            "4=1/15 5=1/60 6=1/125 7=1/250 8=1/500 9=1/1000 10=1/4000} wbEntries={0=Auto 1=Daylight 2=Cloudy "
            "3=Shade 4=Incandescent 5=Fluorescent 6=Flash} whiteBalance=Auto");
  const auto change = DeviceParams(0x101);
  change->setString("param_key", "apertureValue");
  change->setNumber("param_value", 4);
  EXPECT_TRUE(std::regex_match(answer(6, "updateCameraSetting", change.get()),
                               std::regex("ok #6 .* aperture=f/8 .*")));

  ZnLuaTETable focus;
  focus.setNumber("focus_direction", -2);
  EXPECT_EQ(request(7, "setCameraFocus", &focus), 0);
  EXPECT_TRUE(Received().empty());
  maid::MaidRange step{};
  module1()->m_currentCamera->capGet(kNkMAIDCapability_MFDriveStep, kNkMAIDDataType_RangePtr, &step);
  EXPECT_EQ(step.lfValue, 1000.0) << "the lens was not driven two steps";
  EXPECT_EQ(answer(8, "doAutoFocus"), "ok #8 status=AutoFocusOff");
  EXPECT_EQ(answer(9, "doAutoFocus"), "ok #9 status=AutoFocusOn");
  // Live view: its status, and a frame with the picture and its size.
  EXPECT_EQ(answer(10, "isLiveViewOn"), "ok #10 status=liveViewOff");
  EXPECT_EQ(request(11, "toggleLiveView"), 0);
  const std::string toggled = Transcript();  // settings beside the picture
  EXPECT_TRUE(std::regex_match(toggled, std::regex("cameraSettingsChanged #0 .*\nok #11\n"))) << toggled;
  EXPECT_EQ(answer(12, "isLiveViewOn"), "ok #12 status=liveViewOn");
  PumpAndSettle(manager);
  std::string frames;  // the tick may send fresh settings beside the frame
  for (auto& message : Received())
    if (message.name->getString() == "liveViewImage") frames += Describe(message) + "\n";
  EXPECT_TRUE(std::regex_match(frames, std::regex("liveViewImage #0 image=<(\\d+) bytes ffd8> size=\\1\n")))
      << frames;  // a JPEG and its size
  EXPECT_EQ(answer(13, "toggleLiveView"), "ok #13");
  EXPECT_EQ(answer(14, "isLiveViewOn"), "ok #14 status=liveViewOff");
  // The first file of the session is capture 1, from its announcement to its completion.
  EXPECT_EQ(request(15, "doCapture"), 0);
  const std::string capture = Transcript();
  std::smatch file;  // its name, size and path
  ASSERT_TRUE(std::regex_match(capture, file, std::regex(
      "objectWasAdded #0 camera_file_name=DSC_\\d{4}\\.JPG capture_id=1 file_name=(\\S+) "
      "file_size=(\\d+) has_sidecar=0\n"
      "fileDownloadComplete #0 capture_id=1 file_download_time=[\\d.]+ file_path=(.*)\n"))) << capture;
  EXPECT_EQ(file[3], g_downloadDirectory + file[1].str());
  EXPECT_EQ(file[2], std::to_string(fs::file_size(file[3].str())));
  // Commands the process takes without an answer, and then no camera at all.
  for (const char* quiet : {"getDeviceInfo", "downloadThumbnail", "getCaptureInfo", "startDownload"})
    EXPECT_EQ(request(16, quiet, 0x101), 0) << quiet;
  EXPECT_EQ(request(17, "disconnectDevice", 0x101), 0);
  EXPECT_EQ(request(17, "disconnectDevice", 0x101), 0);  // nothing left to disconnect
  EXPECT_TRUE(Received().empty());
  EXPECT_EQ(answer(18, "getCameraSettings", 0x101),
            "error #18 error_code=65535 error_description=No camera is connected");
  // A release without a camera is not passed over in silence.
  EXPECT_EQ(request(19, "doCapture"), 0);
  EXPECT_EQ(Transcript(), "error #0 error_code=65535 error_description=The picture was not "
                          "taken: no camera is connected\n");
}

// The connected camera unplugged: a release names it rather than doing nothing; once another
// camera is connected the releases are its own.
TEST_F(RequestPathTest, CaptureAfterTheConnectedCameraWentSaysWhichWent) {
  onCameraThread();
  SimControl("Type0001.md3", "unplug 1");
  PumpAndSettle(manager);
  EXPECT_EQ(request(3, "doCapture"), 0);
  EXPECT_EQ(Transcript(),
            "deviceRemoved #0 device_id=257\n"
            "error #0 error_code=65535 error_description=The picture was not taken: the connected "
            "camera D850 (device 257) is gone; connect it again\n");
  EXPECT_EQ(answer(4, "connectDevice", 0x102), "ok #4");
  EXPECT_EQ(request(5, "doCapture"), 0);
  EXPECT_EQ(TakeNamed("error").size(), 0u);
}

std::vector<std::uint32_t> g_sessionEnds;

// The camera thread's queue, as the process runs it: requests in the order they came, a
// command that waits (live view right after the connection's settings) holding up only those
// behind it, and "shutdown" ending the session with its own id and nothing after it run.
TEST_F(RequestPathTest, TheCameraThreadRunsRequestsInOrderAndEndsAtShutdown) {
  onCameraThread();
  RestartCameraWork();
  g_sessionEnds.clear();
  SetSessionEndHook([](std::uint32_t requestId) { g_sessionEnds.push_back(requestId); });
  auto post = [&](std::uint32_t id, const char* name) { request(id, name, nullptr, PostHostRequest); };
  // Runs the queue as the main loop does, until it has nothing left to do.
  auto runUntilIdle = [&] {
    onCameraThread();
    for (int pass = 0; pass < 2000; ++pass) {
      const unsigned waitMs = BetweenTurns(RunCameraWork);
      if (waitMs == kCameraIdle) return true;
      platform::sleepMs(std::min(waitMs, 20u));
    }
    return false;
  };
  // A host that leaves while a command waits takes it along: the next session's first request
  // does not wait for it.
  post(4, "toggleLiveView");
  EXPECT_GT(BetweenTurns(RunCameraWork), 0u);
  CancelCameraWork();
  post(4, "isLiveViewOn");
  EXPECT_FALSE(BetweenTurns(OfferStandingReplies)) << "no answer stands while a request waits";
  EXPECT_EQ(BetweenTurns(RunCameraWork), kCameraIdle);
  EXPECT_TRUE(BetweenTurns(OfferStandingReplies));
  post(9, "isLiveViewOn");  // the sleeping camera thread's answer, as nothing is ahead of it
  EXPECT_EQ(Transcript(), "ok #4 status=liveViewOff\nok #9 status=liveViewOff\n") << "answered at once";

  post(5, "toggleLiveView");
  post(6, "isLiveViewOn");  // not by the answer left: #5 went ahead of it
  const unsigned waitMs = BetweenTurns(RunCameraWork);
  EXPECT_GT(waitMs, 0u) << "the settings were sent at the connection, under half a second ago";
  EXPECT_LE(waitMs, 500u);
  EXPECT_TRUE(Received().empty()) << "nothing before the half second, nor behind it";
  ASSERT_TRUE(runUntilIdle());
  std::string transcript;
  for (const auto& message : Received()) transcript += Describe(message).substr(0, 24) + "\n";
  EXPECT_EQ(transcript, "cameraSettingsChanged #0\nok #5\nok #6 status=liveViewOn\n");

  post(7, "shutdown");
  post(8, "isLiveViewOn");
  ASSERT_TRUE(runUntilIdle());
  EXPECT_EQ(g_sessionEnds, std::vector<std::uint32_t>{7});
  EXPECT_TRUE(Received().empty()) << "nothing after shutdown is run";
  EXPECT_EQ(CNikonModuleManager::existingInstance(), nullptr);
  manager = nullptr;
  SetSessionEndHook(nullptr);
  RestartCameraWork();
}

// The pipe thread posts while the camera thread works, as in the process: every request runs
// once, in the order it came, and is answered under its own id. The ThreadSanitizer build
// runs this too, so a race between the two threads fails here.
TEST_F(RequestPathTest, RequestsPostedWhileTheCameraThreadWorksRunOnceInOrder) {
  onCameraThread();
  RestartCameraWork();
  constexpr std::uint32_t kRequests = 200;
  std::atomic<bool> posted{false};
  std::thread pipeThread([&] {
    const ZnLuaTEString name("isLiveViewOn");
    for (std::uint32_t id = 1; id <= kRequests; ++id) PostHostRequest(id, &name, nullptr);
    posted = true;
  });
  std::vector<std::uint32_t> answered;
  for (int pass = 0; pass < 100000 && answered.size() < kRequests; ++pass) {
    BetweenTurns(RunCameraWork);
    for (const auto& message : Received()) answered.push_back(message.requestId);
    if (posted && answered.size() < kRequests) std::this_thread::yield();
  }
  pipeThread.join();
  std::vector<std::uint32_t> expected(kRequests);
  for (std::uint32_t i = 0; i < kRequests; ++i) expected[i] = i + 1;
  EXPECT_EQ(answered, expected);
}

// Each stop of the heartbeat, with whether the cameras were still there.
std::string g_heartbeatStops;

TEST_F(RequestPathTest, ShutdownEndsItsOwnRequestOnlyAfterStoppingTheHeartbeat) {
  g_heartbeatStops.clear();
  SetHeartbeatStopHook([] {
    g_heartbeatStops += CNikonModuleManager::existingInstance() ? "alive;" : "gone;";
  });
  EXPECT_EQ(request(3, "shutdown"), 1);
  EXPECT_EQ(g_heartbeatStops, "alive;") << "the heartbeat must stop once, before the cameras go";
  EXPECT_EQ(CNikonModuleManager::existingInstance(), nullptr);
  EXPECT_TRUE(Received().empty());
  // A request after it is answered, with no cameras, and loads no module anew.
  EXPECT_EQ(answer(4, "listDevices"), "ok #4 devices={}");
  EXPECT_EQ(request(5, "connectDevice"), 0);
  EXPECT_EQ(CNikonModuleManager::existingInstance(), nullptr);
  manager = nullptr;
}

// "shutdown" right behind three releases of a camera on a slow link: each release ends with
// its file, and none is reported lost while its picture can still come.
TEST_F(RequestPathTest, ShutdownLetsTheReleasesStillComingBringTheirFiles) {
  onCameraThread();
  SimControl("Type0001.md3", "format raw 1");
  SimControl("Type0001.md3", "habit slow-link on 1");
  SimControl("Type0001.md3", "rate 500 1");
  for (int shot = 0; shot < 3; ++shot) camera->capture();
  EXPECT_EQ(request(3, "shutdown"), 1);
  manager = nullptr;
  std::map<std::string, int> counts;
  for (const auto& message : Received()) ++counts[message.name->getString()];
  EXPECT_EQ(counts, (std::map<std::string, int>{{"fileDownloadComplete", 3}, {"objectWasAdded", 3}}));
}

TEST_F(RequestPathTest, OnlyTheWholeNameOfACommandRunsIt) {
  // The first request id is as good as any.
  EXPECT_EQ(answer(1, "isLiveViewOn"), "ok #1 status=liveViewOff");
  for (const char* nearMiss :
       {"isLiveViewOn ", "isLiveViewO", "islivevieWon", "IsLiveViewOn", "", "shutdow", "shutdown2"})
    EXPECT_EQ(request(4, nearMiss), 0) << nearMiss;
  EXPECT_NE(CNikonModuleManager::existingInstance(), nullptr);
  // Nor does a name that is no string (a request that does not decode is HostRequest's case).
  const ZnLuaTENumber number(1);
  const std::string bytes = EncodeMessageFrame(6, &number, nullptr);
  EXPECT_EQ(HandleHostRequest(bytes.data(), bytes.size(), DispatchAndSettle), 0);
  EXPECT_TRUE(Received().empty());
}

TEST(DeviceIdFromParams, TruncatesWithinThe32BitRangeAndIsZeroOtherwise) {
  const struct { double value; int id; } cases[] = {
      {0x1702, 0x1702}, {257.9, 257}, {-257.9, -257}, {2147483647.0, 2147483647},
      {2147483647.5, 2147483647}, {-2147483648.0, -2147483647 - 1}, {2147483648.0, 0},
      {-2147483649.0, 0}, {4294967296.0 + 0x101, 0},
      {std::numeric_limits<double>::quiet_NaN(), 0}, {std::numeric_limits<double>::infinity(), 0}};
  for (const auto& c : cases)
    EXPECT_EQ(GetDeviceIdFromParams(DeviceParams(c.value).get()), c.id) << c.value;
  ZnLuaTETable text;
  text.setString("device_id", "257");
  const ZnLuaTENumber notATable(257);
  for (const ZnLuaTE* params : std::initializer_list<const ZnLuaTE*>{&text, &notATable, nullptr})
    EXPECT_EQ(GetDeviceIdFromParams(params), 0) << (params ? Show(params) : "none");
}

}  // namespace
