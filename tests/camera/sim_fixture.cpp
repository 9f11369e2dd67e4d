#include "tests/camera/sim_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "camera/camera_clock.h"
#include "camera/download/capture_file_names.h"
#include "camera/sdkobject/nikon_object.h"

namespace simtest {

namespace {
// The simulated modules every fixture starts afresh and checks at its end.
constexpr const char* kSimModules[] = {"Type0001.md3", "Type0023.md3"};
}  // namespace

std::vector<std::unique_ptr<OutgoingMessage>> TakeAll() {
  std::vector<std::unique_ptr<OutgoingMessage>> messages;
  while (auto message = TakeOutgoingMessage()) messages.push_back(std::move(message));
  return messages;
}

std::vector<std::unique_ptr<OutgoingMessage>> TakeNamed(const std::string& name) {
  std::vector<std::unique_ptr<OutgoingMessage>> named;
  for (auto& message : TakeAll())
    if (message->name->getString() == name) named.push_back(std::move(message));
  return named;
}

const ZnLuaTETable* Payload(const OutgoingMessage& message) {
  return dynamic_cast<const ZnLuaTETable*>(message.value.get());
}

std::unique_ptr<ZnLuaTETable> DeviceParams(double deviceId) {
  auto params = std::make_unique<ZnLuaTETable>();
  params->setNumber("device_id", deviceId);
  return params;
}

std::vector<double> Numbers(const std::vector<std::unique_ptr<OutgoingMessage>>& messages,
                            const char* key) {
  std::vector<double> numbers;
  for (const auto& message : messages) numbers.push_back(Number(Payload(*message), key));
  return numbers;
}

std::vector<std::string> Names(const std::vector<std::unique_ptr<OutgoingMessage>>& messages) {
  std::vector<std::string> names;
  for (const auto& message : messages)
    if (message->name->getString() != "cameraSettingsChanged")
      names.push_back(message->name->getString());
  return names;
}

std::string PrivateTempPath(const std::string& stem) {
  return platform::temporaryDirectory() + stem + "_" + std::to_string(getpid()) + "_" +
         CurrentTestName();
}

CFileSizeLimit::CFileSizeLimit(rlim_t bytes) {
  m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &m_saved), 0);
  struct rlimit limit = m_saved;
  limit.rlim_cur = bytes;
  EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
}

CFileSizeLimit::~CFileSizeLimit() {
  setrlimit(RLIMIT_FSIZE, &m_saved);
  std::signal(SIGXFSZ, m_previousHandler);
}

CHeldFile::CHeldFile(const std::string& path) : m_fd(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  struct flock hold = {};
  hold.l_type = F_RDLCK;
  hold.l_whence = SEEK_SET;
  EXPECT_EQ(fcntl(m_fd, F_OFD_SETLK, &hold), 0) << path;
}

CHeldFile::~CHeldFile() {
  if (m_fd >= 0) close(m_fd);
}

void SimControl(const char* moduleFile, const std::string& line) {
  auto* control = SimFunction<int(const char*)>(moduleFile, "LbSimControl");
  ASSERT_NE(control, nullptr);
  ASSERT_EQ(control(line.c_str()), 0) << line;
}

double SimLensPosition(const char* moduleFile, unsigned cameraId) {
  auto* position = SimFunction<double(unsigned)>(moduleFile, "LbSimLensPosition");
  return position ? position(cameraId) : -1.0;
}

// The simulators are set up and checked without the SDK lock, as the camera layer calls a
// module: with it let go (the threaded tests would see the two locks taken in both orders).
void SimFixture::SetUp() LB_ACQUIRE(g_sdkLock) {
  m_scenarioPath = PrivateTempPath("lb_camera_tests") + ".scenario";
  std::ofstream(m_scenarioPath, std::ios::trunc) << scenario();
  setenv("LBSIM_SCENARIO", m_scenarioPath.c_str(), 1);
  for (const char* module : kSimModules) SimControl(module, "reset");
  clock.emplace(1000, [](std::uint32_t nowMs) {
    for (const char* module : kSimModules) SimControl(module, "clock " + std::to_string(nowMs));
  });
  HostTest::SetUp();
  manager = CNikonModuleManager::getInstance();
  DiscardOutgoingMessages();
}

void SimFixture::TearDown() LB_RELEASE(g_sdkLock) {
  CNikonModuleManager::DestroyInstance();
  clock.reset();
  HostTest::TearDown();
  // A real module may have freed what a closed record points to, and is not safe to enter
  // from two threads at once; once its lane has it, no other thread calls it until its close.
  for (const char* module : kSimModules) {
    const auto count = [module](const char* name) {
      auto* function = SimFunction<unsigned()>(module, name);
      return function ? function() : ~0u;
    };
    EXPECT_EQ(count("LbSimCallsAfterClose"), 0u) << module << ": calls with a record we had closed";
    EXPECT_EQ(count("LbSimConcurrentCalls"), 0u)
        << module << ": calls while another thread was inside it";
    EXPECT_EQ(count("LbSimStrayCalls"), 0u) << module << ": calls from off its lane";
  }
  std::remove(m_scenarioPath.c_str());
}

void ConnectedCameraTest::SetUp() LB_ACQUIRE(g_sdkLock) {
  SimFixture::SetUp();
  m_folder = PrivateTempPath("lb_capture_test");
  std::filesystem::remove_all(m_folder);
  std::filesystem::create_directories(m_folder);
  g_downloadDirectory = m_folder.string() + "/";
  CCaptureFileNames::instance().restartNumbering();
  listDevices();
  HandleConnectDevice(2, DeviceParams(0x101).get());
  camera = module1()->m_currentCamera;
  ASSERT_NE(camera, nullptr);
  TakeAll();
}

void ConnectedCameraTest::TearDown() LB_RELEASE(g_sdkLock) {
  SimFixture::TearDown();
  CNikonObject::setStartTimeoutMs(120000);
  CNikonObject::setTransferInactivityMs(30000);
  std::filesystem::remove_all(m_folder);
}

void SettleOperations(CNikonModuleManager* manager, unsigned limitMs) {
  CTestClock* clock = CTestClock::Current();
  ASSERT_NE(clock, nullptr) << "the long operations run on the test's clock";
  const std::uint32_t start = clock->Now();
  for (;;) {
    bool delivering = false;
    if (!manager->stepOperations(kCameraSliceMs, delivering)) return;
    if (clock->Now() - start >= limitMs) return;
    clock->advance(delivering ? 1 : kCameraPollMs);
  }
}

bool CTestWorker::runUntilIdle(unsigned limitMs) {
  CTestClock* clock = CTestClock::Current();
  EXPECT_NE(clock, nullptr) << "the worker runs on the test's clock";
  if (!clock) return false;
  const std::uint32_t start = clock->Now();
  for (;;) {
    const unsigned waitMs = turn();
    if (!worker.busy()) return true;
    if (clock->Now() - start >= limitMs) return false;
    clock->advance(std::max(1u, std::min(waitMs, kHeartbeatPeriodMs)));
  }
}

bool DispatchAndSettle(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* params) {
  CTestWorker test;
  test.worker.post(requestId, name, params);
  EXPECT_TRUE(test.runUntilIdle()) << "the request's work did not end";
  return !test.sessionEnds.empty();
}

}  // namespace simtest
