// A caller of a simulated module that behaves as the camera layer does, but records which
// event and completion came inside which of its calls, and each download's blocks. One test thread; the module calls back on it, inside the driver's own calls.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camera/maid/maid.h"
#include "platform/platform.h"
#include "tests/test_support.h"

namespace simtest {

constexpr maid::ULONG kNoCall = 0xFFFFFFFFu;  // delivered while none of our calls ran

struct SeenEvent {
  bool fromModule;  // the module object's event, else the camera's
  maid::ULONG event;
  maid::ULONG insideCall;
};
struct SeenCompletion {
  maid::NKERROR result;
  maid::ULONG insideCall;
  std::size_t eventsBefore;  // how many events came before it
};
struct SeenBlock {
  maid::ULONG offset, length, total;
};
struct Download {
  std::vector<SeenBlock> blocks;  // in the order sent
  bool completed = false;
  maid::NKERROR result = 0;
  std::vector<maid::ULONG> announcedDuring;  // items announced while this one transferred
};

class CSimDriver {
 public:
  // Loads `moduleFile` ("Type0001.md3"), resets it to `scenario` and opens it.
  CSimDriver(const char* moduleFile, const std::string& scenario) {
    void* library = platform::loadModule(platform::executableDirectory() + moduleFile);
    if (!library) return;
    m_entry =
        reinterpret_cast<maid::EntryPoint>(platform::findSymbol(library, maid::kEntryPointName));
    m_control =
        reinterpret_cast<int (*)(const char*)>(platform::findSymbol(library, "LbSimControl"));
    if (!m_entry || !m_control) return;
    m_scenarioPath = platform::temporaryDirectory() + "lbsim-driver-" + std::to_string(getpid()) +
                     "-" + CurrentTestName() + "-" + moduleFile + ".txt";
    if (std::FILE* file = std::fopen(m_scenarioPath.c_str(), "wb")) {
      std::fwrite(scenario.data(), 1, scenario.size(), file);
      std::fclose(file);
    }
    setenv("LBSIM_SCENARIO", m_scenarioPath.c_str(), 1);
    unsetenv("LBSIM_CONTROL");
    m_control("reset");
    m_moduleOpen =
        !call(nullptr, kNkMAIDCommand_Open, 0, kNkMAIDDataType_ObjectPtr, ptr(&m_module));
    if (m_moduleOpen) setCallback(&m_module, kNkMAIDCapability_EventProc, &OnEvent<true>, this);
  }
  ~CSimDriver() {
    if (m_camera) call(m_camera.get(), kNkMAIDCommand_Close);
    if (m_moduleOpen) call(&m_module, kNkMAIDCommand_Close);
    if (m_control) {  // the next test's scenario is its own
      unsetenv("LBSIM_SCENARIO");
      m_control("reset");
    }
    if (!m_scenarioPath.empty()) std::remove(m_scenarioPath.c_str());
  }
  CSimDriver(const CSimDriver&) = delete;
  CSimDriver& operator=(const CSimDriver&) = delete;

  bool ready() const { return m_entry && m_control && m_moduleOpen; }
  int control(const std::string& line) { return m_control(line.c_str()); }
  template <class T>
  static maid::NKPARAM ptr(T* p) {
    return reinterpret_cast<maid::NKPARAM>(p);
  }

  // One SDK call, recorded as the call in progress while it runs; a capture gets a completion.
  maid::NKERROR call(maid::MaidObject* object, maid::ULONG command, maid::ULONG param = 0,
                     maid::ULONG dataType = 0, maid::NKPARAM data = 0) {
    const bool capture = command == kNkMAIDCommand_CapStart && param == kNkMAIDCapability_Capture;
    maid::CompletionProc proc = nullptr;
    if (capture)
      proc = [](maid::MaidObject*, maid::ULONG, maid::ULONG, maid::ULONG, maid::NKPARAM,
                maid::NKREF ref, maid::NKERROR result) {
        auto* self = static_cast<CSimDriver*>(ref);
        self->completions.push_back({result, self->currentCall(), self->events.size()});
      };
    m_calls.push_back(command);
    const maid::NKERROR result = m_entry(object, command, param, dataType, data, proc, this);
    m_calls.pop_back();
    return result;
  }
  maid::NKERROR get(maid::ULONG cap, maid::ULONG type, void* data) {
    return call(camera(), kNkMAIDCommand_CapGet, cap, type, ptr(data));
  }
  maid::NKERROR setUnsigned(maid::ULONG cap, maid::ULONG value) {
    return call(camera(), kNkMAIDCommand_CapSet, cap, kNkMAIDDataType_Unsigned, value);
  }
  maid::NKERROR startCapture() {
    return call(camera(), kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture);
  }
  maid::NKERROR poll(maid::MaidObject* object = nullptr) {  // Async, on the camera by default
    return call(object ? object : camera(), kNkMAIDCommand_Async);
  }
  // Polls until `done` holds, or 20 s have passed: a shot's JPEG is made on a thread of its
  // own, and its shot follows in the polls after it is.
  template <typename Done>
  bool pollUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      poll();
      std::this_thread::yield();
    }
    return done();
  }
  bool pollUntilCaptureCompletes() {
    return pollUntil([this] { return !completions.empty(); });
  }

  maid::MaidObject* module() { return &m_module; }
  maid::MaidObject* camera() { return m_camera.get(); }
  maid::NKERROR closeModule() {
    m_moduleOpen = false;
    return call(&m_module, kNkMAIDCommand_Close);
  }
  // Opens camera `id` with the recording event procedure; an AddChild of it downloads the item
  // at once, inside the event, as the camera layer does.
  maid::MaidObject* openCamera(maid::ULONG id) {
    auto camera = std::make_unique<maid::MaidObject>();
    if (call(&m_module, kNkMAIDCommand_Open, id, kNkMAIDDataType_ObjectPtr, ptr(camera.get())) != 0)
      return nullptr;
    setCallback(camera.get(), kNkMAIDCapability_EventProc, &OnEvent<false>, this);
    m_camera = std::move(camera);
    return m_camera.get();
  }
  std::vector<maid::ULONG> children(maid::MaidObject* object) {
    maid::MaidEnum descriptor{};
    std::vector<maid::ULONG> ids;
    const auto read = [&](maid::ULONG command) {
      return call(object, command, kNkMAIDCapability_Children, kNkMAIDDataType_EnumPtr,
                  ptr(&descriptor));
    };
    if (read(kNkMAIDCommand_CapGet)) return ids;
    ids.resize(descriptor.ulElements);
    descriptor.pData = ids.data();
    if (read(kNkMAIDCommand_CapGetArray)) ids.clear();
    return ids;
  }

  std::vector<SeenEvent> events;
  std::vector<SeenCompletion> completions;
  std::map<maid::ULONG, Download> downloads;  // by item id

 private:
  template <class Proc>
  void setCallback(maid::MaidObject* object, maid::ULONG cap, Proc proc, void* ref) {
    maid::MaidCallback callback{reinterpret_cast<void*>(proc), ref};
    call(object, kNkMAIDCommand_CapSet, cap, kNkMAIDDataType_CallbackPtr, ptr(&callback));
  }
  template <bool fromModule>
  static void OnEvent(maid::NKREF ref, maid::ULONG event, maid::NKPARAM data) {
    auto* self = static_cast<CSimDriver*>(ref);
    self->events.push_back({fromModule, event, self->currentCall()});
    if (fromModule || event != kNkMAIDEvent_AddChild) return;
    for (maid::ULONG item : self->m_transferring)
      self->downloads[item].announcedDuring.push_back(static_cast<maid::ULONG>(data));
    self->download(static_cast<maid::ULONG>(data));
  }
  maid::ULONG currentCall() const { return m_calls.empty() ? kNoCall : m_calls.back(); }

  // Opens item `itemId`'s data object, starts Acquire and polls it until the completion.
  void download(maid::ULONG itemId) {
    Download& d = downloads[itemId];
    maid::MaidObject item{}, data{};
    if (call(camera(), kNkMAIDCommand_Open, itemId, kNkMAIDDataType_ObjectPtr, ptr(&item)) != 0)
      return;
    if (call(&item, kNkMAIDCommand_Open, 1, kNkMAIDDataType_ObjectPtr, ptr(&data)) == 0) {
      maid::DataProc onData = [](maid::NKREF ref, void* info, void*) {
        const auto* block = static_cast<maid::MaidDataInfo*>(info);
        static_cast<Download*>(ref)->blocks.push_back(
            {block->ulStart, block->ulLength, block->ulTotalLength});
        return maid::NKERROR{0};
      };
      setCallback(&data, kNkMAIDCapability_DataProc, onData, &d);
      m_transferring.push_back(itemId);
      m_calls.push_back(kNkMAIDCommand_CapStart);
      const maid::NKERROR started = m_entry(
          &data, kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire, 0, 0,
          [](maid::MaidObject*, maid::ULONG, maid::ULONG, maid::ULONG, maid::NKPARAM,
             maid::NKREF ref, maid::NKERROR result) {
            static_cast<Download*>(ref)->completed = true;
            static_cast<Download*>(ref)->result = result;
          },
          &d);
      m_calls.pop_back();
      for (int i = 0; (started == 0 || started == 1) && !d.completed && i < 10000; ++i) {
        poll(&data);
        if (d.completed) break;
        platform::sleepMs(1);
      }
      m_transferring.erase(std::find(m_transferring.begin(), m_transferring.end(), itemId));
      call(&data, kNkMAIDCommand_Close);
    }
    call(&item, kNkMAIDCommand_Close);
  }

  maid::EntryPoint m_entry = nullptr;
  int (*m_control)(const char*) = nullptr;
  std::string m_scenarioPath;
  maid::MaidObject m_module{};
  bool m_moduleOpen = false;
  std::unique_ptr<maid::MaidObject> m_camera;
  std::vector<maid::ULONG> m_calls;         // the commands in progress, innermost last
  std::vector<maid::ULONG> m_transferring;  // items whose transfer is in progress
};

}  // namespace simtest
