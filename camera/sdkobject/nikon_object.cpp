#include "camera/sdkobject/nikon_object.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "camera/sdk_lock.h"
#include "camera/sdkobject/maid_names.h"
#include "platform/trace.h"
#include "values/lua_value.h"

namespace {

// A camera whose capability list keeps changing between GetCapCount and GetCapInfo must not
// keep us asking forever.
constexpr int kMaxCapabilityLoadPasses = 8;
// No real capability list or enumeration comes near this; a larger answer is a broken module
// and must not make us allocate gigabytes.
constexpr std::uint64_t kMaxArrayBytes = 64u * 1024u * 1024u;
constexpr std::size_t kStringBytes = 256;

unsigned g_startTimeoutMs = 120000;
unsigned g_transferInactivityMs = 30000;

// Both guarded by the SDK lock, under which every SDK callback arrives.
std::uint64_t g_sdkActivity = 0;
// Every completion record not yet freed, by its token; tokens count up and are never reused.
// Never destroyed: a module may complete a start during the process's exit.
std::map<std::uintptr_t, CNikonCompletionRecord*>& g_completionRecords =
    *new std::map<std::uintptr_t, CNikonCompletionRecord*>;
std::uintptr_t g_lastCompletionToken = 0;

// Allocates count * size zeroed bytes, or null when the product overflows, is absurd or is
// refused.
template <typename T>
CSdkBlock<T> AllocateArray(std::uint64_t count, std::uint64_t size) {
  if (count == 0 || size == 0) return nullptr;
  if (count > kMaxArrayBytes / size) return nullptr;
  return CSdkBlock<T>(static_cast<T*>(
      std::calloc(static_cast<std::size_t>(count), static_cast<std::size_t>(size))));
}

}  // namespace

// The procedures run inside our calls into the module, which let go of the SDK lock (or on a
// thread of the module's own): each takes the lock for its work.
void NikonEventProc(maid::NKREF ref, maid::ULONG event, maid::NKPARAM data) {
  CSdkLockGuard lock(g_sdkLock);
  if (ref) static_cast<CNikonObject*>(ref)->onEvent(event, data);
}

maid::NKERROR NikonDataProc(maid::NKREF ref, void* dataInfo, void* data) {
  CSdkLockGuard lock(g_sdkLock);
  ++g_sdkActivity;
  if (!ref) return 0;
  return static_cast<CNikonObject*>(ref)->onData(dataInfo, data);
}

void NikonCompletionProc(maid::MaidObject*, maid::ULONG command, maid::ULONG, maid::ULONG,
                         maid::NKPARAM, maid::NKREF completionRef, maid::NKERROR result) {
  CSdkLockGuard lock(g_sdkLock);
  const auto token = reinterpret_cast<std::uintptr_t>(completionRef);
  auto found = g_completionRecords.find(token);
  if (found == g_completionRecords.end()) {
    if (token != 0)
      Trace("A completion of %s for a start already completed is ignored", CommandName(command));
    return;
  }
  std::unique_ptr<CNikonCompletionRecord> record(found->second);
  g_completionRecords.erase(found);
  ++g_sdkActivity;
  if (record->counter) ++*record->counter;
  if (record->receiver) record->receiver->onCompletion(command, result, record->context);
}

CPendingCompletion::CPendingCompletion(CNikonCallbackReceiver* receiver)
    : m_record(new CNikonCompletionRecord{receiver, 0, &m_completions}),
      m_token(reinterpret_cast<maid::NKREF>(++g_lastCompletionToken)) {
  g_completionRecords[reinterpret_cast<std::uintptr_t>(m_token)] = m_record;
}

CPendingCompletion::~CPendingCompletion() {
  if (completed()) return;  // the completion procedure has freed the record
  // Abandoned: the record stays, cut off from this object, for a late completion to free.
  m_record->counter = nullptr;
  m_record->receiver = nullptr;
}

void ReleaseAbandonedCompletions() {
  // A record without its counter is one whose waiter has gone; the others still have theirs.
  for (auto it = g_completionRecords.begin(); it != g_completionRecords.end();) {
    if (it->second->counter) {
      ++it;
      continue;
    }
    delete it->second;
    it = g_completionRecords.erase(it);
  }
}

std::uint64_t SdkActivityCount() { return g_sdkActivity; }

unsigned CNikonObject::startTimeoutMs() { return g_startTimeoutMs; }
void CNikonObject::setStartTimeoutMs(unsigned ms) { g_startTimeoutMs = ms; }
unsigned CNikonObject::transferInactivityMs() { return g_transferInactivityMs; }
void CNikonObject::setTransferInactivityMs(unsigned ms) { g_transferInactivityMs = ms; }

CNikonObject::CNikonObject(maid::EntryPoint entryPoint, CNikonObject* parent, maid::ULONG id)
    : m_entryPoint(entryPoint) {
  open(parent, id);
}

CNikonObject::CNikonObject(CNikonObject* parent, maid::ULONG id)
    : m_entryPoint(parent ? parent->m_entryPoint : nullptr) {
  open(parent, id);
}

maid::NKERROR CNikonObject::call(maid::ULONG command, maid::ULONG param, maid::ULONG dataType,
                                 maid::NKPARAM data, maid::CompletionProc proc, maid::NKREF ref) {
  if (!m_entryPoint) return kNkMAIDResult_UnexpectedError;
  g_sdkLock.assertHeld();  // the camera layer runs under it, callbacks included
  maid::MaidObject* object = m_object.get();
  const maid::EntryPoint entryPoint = m_entryPoint;
  return CallModule([&] { return entryPoint(object, command, param, dataType, data, proc, ref); });
}

void CNikonObject::open(CNikonObject* parent, maid::ULONG id) {
  auto record = std::make_unique<maid::MaidObject>();
  record->refClient = this;
  maid::NKERROR result = kNkMAIDResult_UnexpectedError;
  if (m_entryPoint) {
    g_sdkLock.assertHeld();  // objects are opened by the camera layer, under the lock
    maid::MaidObject* parentObject = parent ? parent->sdkObject() : nullptr;
    const maid::EntryPoint entryPoint = m_entryPoint;
    result = CallModule([&] {
      return entryPoint(parentObject, kNkMAIDCommand_Open, id, kNkMAIDDataType_ObjectPtr,
                        reinterpret_cast<maid::NKPARAM>(record.get()), nullptr, nullptr);
    });
  }
  if (result != kNkMAIDResult_NoError) {
    Trace("Error from Command_Open: %s", ResultName(result));
    // The SDK refused the record, so nothing refers to it: it goes with `record`, which keeps
    // repeated failed opens (a camera that keeps refusing on every rescan) from leaking.
    throw static_cast<int>(result);
  }
  m_object = std::move(record);
  m_parent = parent;
  m_id = id;
  loadCapabilityInfo();
  // An object that would not take its callbacks could never tell us anything: a camera would
  // take pictures the host never hears of. It is refused as a failed open is.
  const auto install = [this](maid::ULONG capability, void* proc) {
    if (!hasCapability(capability)) return maid::NKERROR{kNkMAIDResult_NoError};
    maid::MaidCallback callback{proc, this};
    return call(kNkMAIDCommand_CapSet, capability, kNkMAIDDataType_CallbackPtr,
                reinterpret_cast<maid::NKPARAM>(&callback));
  };
  maid::NKERROR refused =
      install(kNkMAIDCapability_EventProc, reinterpret_cast<void*>(&NikonEventProc));
  if (refused == kNkMAIDResult_NoError)
    refused = install(kNkMAIDCapability_DataProc, reinterpret_cast<void*>(&NikonDataProc));
  if (refused != kNkMAIDResult_NoError) {
    Trace("The module would not take the callbacks of object %lu: %s",
          static_cast<unsigned long>(id), ResultName(refused));
    closeRecord();
    throw static_cast<int>(refused);
  }
}

CNikonObject::~CNikonObject() {
  if (m_object) {
    if (hasCapability(kNkMAIDCapability_EventProc))
      call(kNkMAIDCommand_CapSet, kNkMAIDCapability_EventProc, kNkMAIDDataType_Null, 0);
    if (hasCapability(kNkMAIDCapability_DataProc))
      call(kNkMAIDCommand_CapSet, kNkMAIDCapability_DataProc, kNkMAIDDataType_Null, 0);
  }
  // Children go first, in id order. Each leaves the map before it is destroyed, so a callback
  // inside its destruction never meets it half destroyed, and one added meanwhile goes too.
  while (!m_children.empty()) {
    auto node = m_children.extract(m_children.begin());
    node.mapped().reset();
  }
  closeRecord();
}

void CNikonObject::closeRecord() {
  if (!m_object) return;
  // The object reads as closed before the SDK is told, and the record outlives the call.
  const CSdkRecord record = std::move(m_object);
  g_sdkLock.assertHeld();  // objects are opened and destroyed by the camera layer, under the lock
  if (const maid::EntryPoint entryPoint = m_entryPoint)
    CallModule([&] {
      return entryPoint(record.get(), kNkMAIDCommand_Close, 0, kNkMAIDDataType_Null, 0, nullptr,
                        nullptr);
    });
}

void CNikonObject::adoptChildObject(std::unique_ptr<CNikonObject> child) {
  if (!child) return;
  const auto id = static_cast<std::int32_t>(child->m_id);
  m_children.emplace(id, std::move(child));
}

void CNikonObject::destroyChild(CNikonObject* child) {
  if (!child) return;
  auto range = m_children.equal_range(static_cast<std::int32_t>(child->m_id));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second.get() != child) continue;
    auto node = m_children.extract(it);
    node.mapped().reset();
    return;
  }
}

void CNikonObject::markClosed() { m_object.reset(); }

void CNikonObject::loadCapabilityInfo() {
  if (!m_object) return;
  m_capInfo.reset();
  m_capCount = 0;
  for (int pass = 0; pass < kMaxCapabilityLoadPasses; ++pass) {
    maid::ULONG count = 0;
    maid::NKERROR result = call(kNkMAIDCommand_GetCapCount, 0, kNkMAIDDataType_UnsignedPtr,
                                reinterpret_cast<maid::NKPARAM>(&count));
    if (result != kNkMAIDResult_NoError) {
      if (pass == 0) return;
      Trace("Error from kNkMAIDCommand_GetCapCount: %ld", static_cast<long>(result));
      continue;
    }
    if (count == 0) return;
    if (count > static_cast<maid::ULONG>(INT32_MAX)) return;
    auto block = AllocateArray<maid::MaidCapInfo>(count, sizeof(maid::MaidCapInfo));
    if (!block) return;  // no list: count stays 0 with a null block
    result = call(kNkMAIDCommand_GetCapInfo, count, kNkMAIDDataType_CapInfoPtr,
                  reinterpret_cast<maid::NKPARAM>(block.get()));
    if (result == kNkMAIDResult_NoError) {
      m_capInfo = std::move(block);
      m_capCount = static_cast<std::int32_t>(count);
      return;
    }
    if (result != kNkMAIDResult_BufferSize) return;
  }
}

const maid::MaidCapInfo* CNikonObject::capabilityInfo(maid::ULONG capId) const {
  if (!m_capInfo) return nullptr;
  for (std::int32_t i = 0; i < m_capCount; ++i)
    if (m_capInfo[i].ulID == capId) return &m_capInfo[i];
  return nullptr;
}

bool CNikonObject::hasCapability(maid::ULONG capId) const {
  return capabilityInfo(capId) != nullptr;
}

int CNikonObject::capGet(maid::ULONG capId, maid::ULONG dataType, void* data) {
  if (!m_object) return -1;
  if (!hasCapability(capId)) return kCapabilityNotFound;
  return call(kNkMAIDCommand_CapGet, capId, dataType, reinterpret_cast<maid::NKPARAM>(data));
}

int CNikonObject::getUnsignedValue(maid::ULONG capId, maid::ULONG& value) {
  if (!m_object) return -1;
  const maid::MaidCapInfo* info = capabilityInfo(capId);
  if (!info) return kCapabilityNotFound;
  if (info->ulType != kNkMAIDCapType_Integer && info->ulType != kNkMAIDCapType_Unsigned) return 0;
  maid::ULONG read = 0;
  const int result =
      call(kNkMAIDCommand_CapGet, capId, info->ulType + 3, reinterpret_cast<maid::NKPARAM>(&read));
  if (result == 0) value = read;
  return result;
}

int CNikonObject::getStringValue(maid::ULONG capId, std::string& value) {
  char buffer[kStringBytes + 1] = {};
  const int result = capGet(capId, kNkMAIDDataType_StringPtr, buffer);
  if (result == 0) value.assign(buffer, strnlen(buffer, kStringBytes));
  return result;
}

int CNikonObject::getBoolValue(maid::ULONG capId, bool& value) {
  unsigned char byte = 0;
  const int result = capGet(capId, kNkMAIDDataType_BooleanPtr, &byte);
  if (result == 0) value = byte != 0;
  return result;
}

int CNikonObject::getArrayValue(maid::ULONG capId, maid::ULONG dataType, void* descriptor) {
  if (!m_object) return -1;
  if (!hasCapability(capId)) return kCapabilityNotFound;
  return call(kNkMAIDCommand_CapGetArray, capId, dataType,
              reinterpret_cast<maid::NKPARAM>(descriptor));
}

int CNikonObject::setCapabilityValue(maid::ULONG capId, maid::ULONG dataType, maid::NKPARAM data) {
  if (!m_object) return -1;
  if (!hasCapability(capId)) return kCapabilityNotFound;
  return call(kNkMAIDCommand_CapSet, capId, dataType, data);
}

int CNikonObject::getEnumDescriptor(maid::ULONG capId, maid::MaidEnum& descriptor) {
  const maid::MaidCapInfo* info = capabilityInfo(capId);
  if (!info || info->ulType != kNkMAIDCapType_Enum || !m_object) return -1;
  descriptor = maid::MaidEnum{};
  return call(kNkMAIDCommand_CapGet, capId, kNkMAIDDataType_EnumPtr,
              reinterpret_cast<maid::NKPARAM>(&descriptor));
}

int CNikonObject::getUnsignedEnumValue(maid::ULONG capId, maid::ULONG& current,
                                       std::vector<maid::ULONG>& values) {
  maid::MaidEnum descriptor;
  int result = getEnumDescriptor(capId, descriptor);
  if (result != 0) return result;
  if ((descriptor.ulType != kNkMAIDArrayType_Integer &&
       descriptor.ulType != kNkMAIDArrayType_Unsigned) ||
      descriptor.wPhysicalBytes != 4)
    return -1;
  if (descriptor.ulElements == 0) {
    Trace("enum had no elements for parameter: %d", static_cast<int>(capId));
    current = 0;
    values.clear();
    return 0;
  }
  auto block = AllocateArray<maid::ULONG>(descriptor.ulElements, 4);
  if (!block) return -1;
  descriptor.pData = block.get();
  result = call(kNkMAIDCommand_CapGetArray, capId, kNkMAIDDataType_EnumPtr,
                reinterpret_cast<maid::NKPARAM>(&descriptor));
  if (result != 0) return result;
  values.insert(values.end(), block.get(), block.get() + descriptor.ulElements);
  // A current index past the list is a camera fault; reading it would run off the block.
  if (descriptor.ulValue >= descriptor.ulElements) return kCurrentEntryMissing;
  current = block[descriptor.ulValue];
  return 0;
}

int CNikonObject::getStringEnumValue(maid::ULONG capId, std::string& current,
                                     std::vector<std::string>& values) {
  maid::MaidEnum descriptor;
  int result = getEnumDescriptor(capId, descriptor);
  if (result != 0) return result;
  if (descriptor.ulType == kNkMAIDArrayType_PackedString) {
    if (descriptor.wPhysicalBytes != 1) return -1;
    const std::size_t length = descriptor.ulElements;
    if (length == 0) {
      current.clear();
      return 0;
    }
    // One spare zero byte: a block whose last string lacks its terminator still ends in text.
    auto owned = AllocateArray<char>(length + 1, 1);
    if (!owned) return -1;
    const char* block = owned.get();
    descriptor.pData = owned.get();
    result = call(kNkMAIDCommand_CapGetArray, capId, kNkMAIDDataType_EnumPtr,
                  reinterpret_cast<maid::NKPARAM>(&descriptor));
    if (result != 0) return result;
    std::size_t offset = 0;
    for (maid::ULONG i = 0; i < descriptor.ulValue && offset < length; ++i)
      offset += std::strlen(block + offset) + 1;
    const bool hasCurrent = offset < length;
    current = hasCurrent ? block + offset : "";
    for (offset = 0; offset < length; offset += std::strlen(block + offset) + 1)
      values.emplace_back(block + offset);
    if (!hasCurrent) {
      Trace("Ran out of space in packed string while attempting to get enum value for parameter %d",
            static_cast<int>(capId));
      return kCurrentEntryMissing;
    }
    return 0;
  }
  if (descriptor.ulType == kNkMAIDArrayType_String) {
    // Entries of another size cannot be read as texts: a failure, not an empty list the
    // host would take for the camera's answer.
    if (descriptor.wPhysicalBytes != kStringBytes) return -1;
    if (descriptor.ulElements == 0) {
      current.clear();
      values.clear();
      return 0;
    }
    auto block = AllocateArray<char>(descriptor.ulElements, kStringBytes);
    if (!block) return -1;
    descriptor.pData = block.get();
    result = call(kNkMAIDCommand_CapGetArray, capId, kNkMAIDDataType_EnumPtr,
                  reinterpret_cast<maid::NKPARAM>(&descriptor));
    if (result != 0) return result;
    current.clear();
    for (maid::ULONG i = 0; i < descriptor.ulElements; ++i) {
      const char* text = block.get() + static_cast<std::size_t>(i) * kStringBytes;
      std::string entry(text, strnlen(text, kStringBytes));
      if (i == descriptor.ulValue) current = entry;
      values.push_back(std::move(entry));
    }
    // A current index past the list is a camera fault: no entry is reported as current.
    return descriptor.ulValue < descriptor.ulElements ? 0 : kCurrentEntryMissing;
  }
  return -1;
}

int CNikonObject::callAsync() {
  if (!m_object) return -1;
  return call(kNkMAIDCommand_Async, 0, kNkMAIDDataType_Null, 0);
}

ZnLuaTEPtr CNikonObject::getCapabilityValue(maid::ULONG capId, int& error, int& unhandled) {
  const maid::MaidCapInfo* info = capabilityInfo(capId);
  if (!info) {
    unhandled = 3;
    return nullptr;
  }
  switch (info->ulType) {
    case kNkMAIDCapType_Boolean: {
      if (!m_object) {
        error = -1;
        return nullptr;
      }
      unsigned char byte = 0;
      const int result = call(kNkMAIDCommand_CapGet, capId, kNkMAIDDataType_BooleanPtr,
                              reinterpret_cast<maid::NKPARAM>(&byte));
      if (result != 0) {
        error = result;
        return nullptr;
      }
      return std::make_unique<ZnLuaTENumber>(byte ? 1 : 0);
    }
    case kNkMAIDCapType_Integer:
    case kNkMAIDCapType_Unsigned: {
      maid::ULONG value = 0;
      const int result = getUnsignedValue(capId, value);
      if (result != 0) {
        error = result;
        return nullptr;
      }
      return std::make_unique<ZnLuaTENumber>(static_cast<double>(static_cast<std::int32_t>(value)));
    }
    case kNkMAIDCapType_String: {
      std::string value;
      const int result = getStringValue(capId, value);
      if (result != 0) {
        error = result;
        return nullptr;
      }
      return std::make_unique<ZnLuaTEString>(std::move(value));
    }
    case kNkMAIDCapType_Enum: {
      if (!m_object) {
        error = -1;
        return nullptr;
      }
      maid::MaidEnum descriptor{};
      int result = call(kNkMAIDCommand_CapGet, capId, kNkMAIDDataType_EnumPtr,
                        reinterpret_cast<maid::NKPARAM>(&descriptor));
      if (result != 0) {
        error = result;
        return nullptr;
      }
      if (descriptor.ulType == kNkMAIDArrayType_Integer ||
          descriptor.ulType == kNkMAIDArrayType_Unsigned) {
        maid::ULONG current = 0;
        std::vector<maid::ULONG> values;
        result = getUnsignedEnumValue(capId, current, values);
        if (result == kCurrentEntryMissing) return std::make_unique<ZnLuaTEString>("");
        if (result != 0) {
          error = result;
          return nullptr;
        }
        return std::make_unique<ZnLuaTENumber>(
            static_cast<double>(static_cast<std::int32_t>(current)));
      }
      if (descriptor.ulType == kNkMAIDArrayType_PackedString ||
          descriptor.ulType == kNkMAIDArrayType_String) {
        std::string current;
        std::vector<std::string> values;
        result = getStringEnumValue(capId, current, values);
        if (result == kCurrentEntryMissing) return std::make_unique<ZnLuaTEString>("");
        if (result != 0) {
          error = result;
          return nullptr;
        }
        return std::make_unique<ZnLuaTEString>(std::move(current));
      }
      Trace("Unhandled enum type for parameter id: %s", CapabilityName(capId));
      Trace("enum type was %d", static_cast<int>(descriptor.ulType));
      unhandled = 1;
      return nullptr;
    }
    default:
      Trace("Unhandled parameter type for parameter %s", CapabilityName(capId));
      Trace("Parameter type was %d", static_cast<int>(info->ulType));
      unhandled = 2;
      return nullptr;
  }
}

int CNikonObject::enumerateChildren(std::vector<maid::ULONG>& ids) {
  if (!m_object) return -1;
  ids.clear();
  int code = 0;
  CSdkBlock<char> block;
  do {
    if (!hasCapability(kNkMAIDCapability_Children)) {
      code = kCapabilityNotFound;
      break;
    }
    maid::MaidEnum descriptor{};
    code = call(kNkMAIDCommand_CapGet, kNkMAIDCapability_Children, kNkMAIDDataType_EnumPtr,
                reinterpret_cast<maid::NKPARAM>(&descriptor));
    if (code != 0 || descriptor.ulElements == 0) break;
    // Ids are read as 32-bit values, so smaller elements cannot be read safely.
    if (descriptor.wPhysicalBytes < sizeof(maid::ULONG)) {
      code = -1;
      break;
    }
    block = AllocateArray<char>(descriptor.ulElements, descriptor.wPhysicalBytes);
    if (!block) {
      code = kNkMAIDResult_OutOfMemory;
      break;
    }
    descriptor.pData = block.get();
    code = call(kNkMAIDCommand_CapGetArray, kNkMAIDCapability_Children, kNkMAIDDataType_EnumPtr,
                reinterpret_cast<maid::NKPARAM>(&descriptor));
    if (code != 0) break;
    for (maid::ULONG i = 0; i < descriptor.ulElements; ++i) {
      maid::ULONG id = 0;
      std::memcpy(&id, block.get() + static_cast<std::size_t>(i) * descriptor.wPhysicalBytes,
                  sizeof(id));
      // Not traced: the idle pump enumerates every module twice a tick.
      ids.push_back(id);
    }
  } while (false);
  block.reset();
  if (code != 0) {
    ids.clear();
    const char* name = ResultName(code);
    Trace("Error detected: (%ld) %s", static_cast<long>(code), name ? name : "(unknown)");
  }
  return code;
}

void CNikonObject::logCapabilities() {
  if (!m_capInfo) loadCapabilityInfo();
  Trace("Nikon Capabilities - count: %d", static_cast<int>(m_capCount));
  for (std::int32_t i = 0; m_capInfo && i < m_capCount; ++i) {
    const char* name = CapabilityName(m_capInfo[i].ulID);
    Trace("\t%d\t%s\t%u", static_cast<int>(m_capInfo[i].ulID), name ? name : "(could not be found)",
          static_cast<unsigned>(m_capInfo[i].ulType));
  }
}

void CNikonObject::onCompletion(maid::ULONG, maid::NKERROR, maid::NKPARAM) {}

maid::NKERROR CNikonObject::onData(void*, void*) { return 0; }

void CNikonObject::onEvent(maid::ULONG event, maid::NKPARAM data) {
  Trace("Event Notification: %s", EventName(event));
  if (m_eventTarget)
    m_eventTarget->onEvent(event, data);
  else
    Trace("Unhandled event: %s", EventName(event));
}
