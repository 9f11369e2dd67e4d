#include "tests/sim/sim_driver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "platform/platform.h"

namespace simtest {

CSimDriver::CSimDriver(const char* moduleFile, const std::string& scenario) {
  void* library = platform::loadModule(platform::executableDirectory() + moduleFile);
  if (!library) return;
  m_entry = reinterpret_cast<maid::EntryPoint>(platform::findSymbol(library, maid::kEntryPointName));
  m_control = reinterpret_cast<int (*)(const char*)>(platform::findSymbol(library, "LbSimControl"));
  if (!m_entry || !m_control) return;
  m_scenarioPath = "/tmp/lbsim-driver-" + std::to_string(getpid()) + "-" + moduleFile + ".txt";
  if (std::FILE* file = std::fopen(m_scenarioPath.c_str(), "wb")) {
    std::fwrite(scenario.data(), 1, scenario.size(), file);
    std::fclose(file);
  }
  setenv("LBSIM_SCENARIO", m_scenarioPath.c_str(), 1);
  unsetenv("LBSIM_CONTROL");
  m_control("reset");
  m_moduleOpen = call(nullptr, kNkMAIDCommand_Open, 0, kNkMAIDDataType_ObjectPtr,
                      reinterpret_cast<maid::NKPARAM>(&m_module)) == 0;
  if (!m_moduleOpen) return;
  maid::MaidCallback callback{reinterpret_cast<void*>(&onModuleEvent), this};
  call(&m_module, kNkMAIDCommand_CapSet, kNkMAIDCapability_EventProc, kNkMAIDDataType_CallbackPtr,
       reinterpret_cast<maid::NKPARAM>(&callback));
}

CSimDriver::~CSimDriver() {
  if (m_camera) call(m_camera.get(), kNkMAIDCommand_Close);
  if (m_moduleOpen) call(&m_module, kNkMAIDCommand_Close);
  if (m_control) {
    // The next test's scenario is its own; the module goes back to its built-in cameras.
    unsetenv("LBSIM_SCENARIO");
    m_control("reset");
  }
  if (!m_scenarioPath.empty()) std::remove(m_scenarioPath.c_str());
}

maid::NKERROR CSimDriver::call(maid::MaidObject* object, maid::ULONG command, maid::ULONG param,
                               maid::ULONG dataType, maid::NKPARAM data) {
  // Only a capture goes through here with a completion; download() starts its own transfers.
  const bool capture = command == kNkMAIDCommand_CapStart && param == kNkMAIDCapability_Capture;
  maid::CompletionProc proc = capture ? &onCaptured : nullptr;
  maid::NKREF ref = capture ? this : nullptr;
  m_calls.push_back(command);
  const maid::NKERROR result = m_entry(object, command, param, dataType, data, proc, ref);
  m_calls.pop_back();
  return result;
}

maid::MaidObject* CSimDriver::openCamera(maid::ULONG id) {
  auto camera = std::make_unique<maid::MaidObject>();
  if (call(&m_module, kNkMAIDCommand_Open, id, kNkMAIDDataType_ObjectPtr,
           reinterpret_cast<maid::NKPARAM>(camera.get())) != 0)
    return nullptr;
  maid::MaidCallback callback{reinterpret_cast<void*>(&onCameraEvent), this};
  call(camera.get(), kNkMAIDCommand_CapSet, kNkMAIDCapability_EventProc,
       kNkMAIDDataType_CallbackPtr, reinterpret_cast<maid::NKPARAM>(&callback));
  m_camera = std::move(camera);
  return m_camera.get();
}

std::vector<maid::ULONG> CSimDriver::children(maid::MaidObject* object) {
  maid::MaidEnum descriptor{};
  std::vector<maid::ULONG> ids;
  if (call(object, kNkMAIDCommand_CapGet, kNkMAIDCapability_Children, kNkMAIDDataType_EnumPtr,
           reinterpret_cast<maid::NKPARAM>(&descriptor)) != 0)
    return ids;
  ids.resize(descriptor.ulElements);
  descriptor.pData = ids.data();
  if (call(object, kNkMAIDCommand_CapGetArray, kNkMAIDCapability_Children, kNkMAIDDataType_EnumPtr,
           reinterpret_cast<maid::NKPARAM>(&descriptor)) != 0)
    ids.clear();
  return ids;
}

maid::NKERROR CSimDriver::getUnsigned(maid::ULONG capId, maid::ULONG& value) {
  return call(m_camera.get(), kNkMAIDCommand_CapGet, capId, kNkMAIDDataType_UnsignedPtr,
              reinterpret_cast<maid::NKPARAM>(&value));
}

maid::NKERROR CSimDriver::setUnsigned(maid::ULONG capId, maid::ULONG value) {
  return call(m_camera.get(), kNkMAIDCommand_CapSet, capId, kNkMAIDDataType_Unsigned, value);
}

maid::NKERROR CSimDriver::getEnum(maid::ULONG capId, maid::MaidEnum& descriptor) {
  descriptor = maid::MaidEnum{};
  return call(m_camera.get(), kNkMAIDCommand_CapGet, capId, kNkMAIDDataType_EnumPtr,
              reinterpret_cast<maid::NKPARAM>(&descriptor));
}

maid::NKERROR CSimDriver::setEnumIndex(maid::ULONG capId, maid::ULONG index) {
  maid::MaidEnum descriptor{};
  descriptor.ulValue = index;
  return call(m_camera.get(), kNkMAIDCommand_CapSet, capId, kNkMAIDDataType_EnumPtr,
              reinterpret_cast<maid::NKPARAM>(&descriptor));
}

maid::NKERROR CSimDriver::startCapture() {
  return call(m_camera.get(), kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture);
}

maid::NKERROR CSimDriver::poll(maid::MaidObject* object) {
  return call(object ? object : m_camera.get(), kNkMAIDCommand_Async);
}

bool CSimDriver::pollUntilCaptureCompletes(int maxPolls) {
  for (int i = 0; i < maxPolls; ++i) {
    if (!completions.empty()) return true;
    poll();
  }
  return !completions.empty();
}

Download& CSimDriver::download(maid::ULONG itemId, unsigned maxMs) {
  Download& d = downloads[itemId];
  d.itemId = itemId;
  auto item = std::make_unique<maid::MaidObject>();
  auto data = std::make_unique<maid::MaidObject>();
  if (call(m_camera.get(), kNkMAIDCommand_Open, itemId, kNkMAIDDataType_ObjectPtr,
           reinterpret_cast<maid::NKPARAM>(item.get())) != 0)
    return d;
  if (call(item.get(), kNkMAIDCommand_Open, 1, kNkMAIDDataType_ObjectPtr,
           reinterpret_cast<maid::NKPARAM>(data.get())) == 0) {
    maid::MaidCallback callback{reinterpret_cast<void*>(&onData), &d};
    call(data.get(), kNkMAIDCommand_CapSet, kNkMAIDCapability_DataProc, kNkMAIDDataType_CallbackPtr,
         reinterpret_cast<maid::NKPARAM>(&callback));
    m_transferring.push_back(itemId);
    m_calls.push_back(kNkMAIDCommand_CapStart);
    const maid::NKERROR started = m_entry(data.get(), kNkMAIDCommand_CapStart,
                                          kNkMAIDCapability_Acquire, 0, 0, &onAcquired, &d);
    m_calls.pop_back();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while ((started == 0 || started == 1) && !d.completed &&
           std::chrono::steady_clock::now() < deadline) {
      poll(data.get());
      if (!d.completed) platform::sleepMs(1);
    }
    m_transferring.erase(std::find(m_transferring.begin(), m_transferring.end(), itemId));
    call(data.get(), kNkMAIDCommand_Close);
  }
  call(item.get(), kNkMAIDCommand_Close);
  return d;
}

void CSimDriver::onModuleEvent(maid::NKREF ref, maid::ULONG event, maid::NKPARAM data) {
  auto* self = static_cast<CSimDriver*>(ref);
  self->events.push_back({true, event, data, self->currentCall()});
}

void CSimDriver::onCameraEvent(maid::NKREF ref, maid::ULONG event, maid::NKPARAM data) {
  auto* self = static_cast<CSimDriver*>(ref);
  self->events.push_back({false, event, data, self->currentCall()});
  if (event != kNkMAIDEvent_AddChild) return;
  for (maid::ULONG item : self->m_transferring)
    self->downloads[item].announcedDuring.push_back(static_cast<maid::ULONG>(data));
  if (self->downloadOnAnnounce) self->download(static_cast<maid::ULONG>(data));
}

maid::NKERROR CSimDriver::onData(maid::NKREF ref, void* info, void* data) {
  auto* d = static_cast<Download*>(ref);
  SeenBlock block;
  std::memcpy(&block, info, sizeof block);
  d->blocks.push_back(block);
  const std::uint64_t end = std::uint64_t{block.offset} + block.length;
  if (end <= 0xFFFFFFFFu) {
    if (d->bytes.size() < end) d->bytes.resize(end);
    std::memcpy(d->bytes.data() + block.offset, data, block.length);
  }
  return 0;
}

void CSimDriver::onAcquired(maid::MaidObject*, maid::ULONG, maid::ULONG, maid::ULONG, maid::NKPARAM,
                            maid::NKREF ref, maid::NKERROR result) {
  auto* d = static_cast<Download*>(ref);
  d->completed = true;
  d->result = result;
}

void CSimDriver::onCaptured(maid::MaidObject*, maid::ULONG, maid::ULONG param, maid::ULONG,
                            maid::NKPARAM, maid::NKREF ref, maid::NKERROR result) {
  auto* self = static_cast<CSimDriver*>(ref);
  self->completions.push_back({param, result, self->currentCall()});
}

}  // namespace simtest
