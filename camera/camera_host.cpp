#include "camera/camera_host.h"

namespace {

class CSilentCameraHost final : public CCameraHost {
 public:
  void deviceAdded(std::uint32_t, const std::string&) override {}
  void deviceRemoved(std::uint32_t) override {}
  void settingsChanged(std::uint32_t, const ZnLuaTETable&) override {}
  int fileAnnounced(const AnnouncedFile&) override { return 0; }
  void fileDownloaded(int, const std::string&, std::int64_t) override {}
  void downloadFailed(int, const std::string&, int) override {}
  void shotLost(std::uint32_t, int, const std::string&) override {}
  void rigReleaseEnded(const RigReleaseEnd&) override {}
  void liveViewFrame(std::uint32_t, const std::vector<unsigned char>&) override {}
};

CSilentCameraHost g_silentHost;
// Written by the process's start-up (or a test's set-up) before the module manager exists;
// read with the SDK lock held.
CCameraHost* g_cameraHost = nullptr;

}  // namespace

void SetCameraHost(CCameraHost* host) { g_cameraHost = host; }

CCameraHost& CameraHost() { return g_cameraHost ? *g_cameraHost : g_silentHost; }
