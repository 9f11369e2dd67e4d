// Records a real session with lensbridge.exe on the simulated camera as a Lua file, for the
// plug-in suite to replay through the scripts: every message the process sent, in order, each
// reply marked with the command it answers.
//
// Usage: record_session.exe OUT-FILE   (lensbridge.exe and the modules beside this program)
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "tests/support/test_download_folder.h"
#include "lbhost/client/host_client.h"
#include "lbhost/vocabulary/value_printer.h"
#include "values/lua_value.h"

namespace {

struct CRecorder {
  CHostClient client;
  std::string entries;  // one Lua table per message, a line each
  unsigned long files = 0;

  // Sends `name` and records everything up to and including its reply (when one is due) and
  // `untilFiles` more completed files.
  bool exchange(const std::string& name, const ZnLuaTE* params, unsigned untilFiles,
                bool expectReply) {
    const std::uint32_t id = client.send(name, params);
    const unsigned long target = files + untilFiles;
    bool replied = !expectReply;
    for (int round = 0; id != 0 && round < 300 && (!replied || files < target); ++round) {
      for (const HostMessage& message : client.collectFor(100)) {
        const bool isReply = message.requestId == id;
        entries += "  {id = " + std::to_string(message.requestId) + ", name = \"" +
                   message.nameText() + "\"" + (isReply ? ", answers = \"" + name + "\"" : "") +
                   ", params = " + FormatValue(message.payload.get()) + "},\n";
        files += message.nameText() == "fileDownloadComplete" ? 1 : 0;
        replied = replied || isReply;
      }
    }
    return id != 0 && replied && files >= target;
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: record_session OUT-FILE\n");
    return 2;
  }
  const std::string out = platform::utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[1]));
  // The process downloads into a folder of this run's own, so the recorded file names never
  // depend on what earlier runs left behind. Declared before the recorder, whose process must
  // end before the folder is removed.
  CTestDownloadFolder temp("record_session");
  if (!temp.valid()) return 1;
  const std::string control = temp.file("camera.control");
  std::ofstream(control, std::ios::trunc);
  SetEnvironmentVariableW(L"LBSIM_SCENARIO", nullptr);

  CRecorder recorder;
  std::string error;
  if (!recorder.client.start(platform::executableDirectory() + "lensbridge.exe", &error, {},
                             temp.environment({{"LBSIM_CONTROL", control}})) ||
      !recorder.client.connect(15000, &error)) {
    std::fprintf(stderr, "lensbridge.exe: %s\n", error.c_str());
    return 1;
  }
  ZnLuaTETable device;
  device.setNumber("device_id", 0x101);
  ZnLuaTETable empty;
  bool ok = recorder.exchange("listDevices", &empty, 0, true) &&
            recorder.exchange("connectDevice", &device, 0, true) &&
            recorder.exchange("getCameraSettings", &device, 0, true) &&
            recorder.exchange("doCapture", &device, 1, false);
  if (ok) {
    std::ofstream(control, std::ios::app) << "format raw+jpeg 1\n";
    ok = recorder.exchange("doCapture", &device, 2, false);
  }
  const std::uint32_t id = recorder.client.send("shutdown");
  recorder.client.waitForReply(id, 10000);
  recorder.client.process().waitForExit(10000);
  if (!ok) {
    std::fprintf(stderr, "the session did not complete\n");
    return 1;
  }
  std::ofstream file(out, std::ios::trunc);
  file << "-- Recorded by record_session.exe from lensbridge.exe on the simulated camera.\n"
       << "return {\n"
       << recorder.entries << "}\n";
  return file ? 0 : 1;
}
