#include "tests/camera/fake_module.h"

#include <cstring>

namespace {
CFakeModule* g_fake = nullptr;
constexpr maid::ULONG kModuleOpenId = 0xFFFFFFFFu;

// The child `id` of `parent`; null when there is no such child or no parent.
CFakeObject* Child(CFakeObject* parent, maid::ULONG id) {
  if (!parent) return nullptr;
  auto it = parent->children.find(id);
  return it == parent->children.end() ? nullptr : &it->second;
}
}  // namespace

CFakeCapability CFakeCapability::UnsignedEnum(const std::vector<maid::ULONG>& values,
                                              maid::ULONG current) {
  CFakeCapability cap = Unsigned(0, kNkMAIDCapType_Enum);
  cap.current = current;
  cap.elementCount = static_cast<maid::ULONG>(values.size());
  const char* raw = reinterpret_cast<const char*>(values.data());
  cap.elements.assign(raw, raw + values.size() * sizeof(maid::ULONG));
  return cap;
}
// Packed: each text with its terminator, elementCount the byte length. Fixed: 256-byte slots.
CFakeCapability CFakeCapability::PackedEnum(const std::vector<std::string>& values,
                                            maid::ULONG current) {
  CFakeCapability cap = UnsignedEnum({}, current);
  cap.enumKind = kNkMAIDArrayType_PackedString;
  cap.elementSize = 1;
  for (const std::string& v : values)
    cap.elements.insert(cap.elements.end(), v.c_str(), v.c_str() + v.size() + 1);
  cap.elementCount = static_cast<maid::ULONG>(cap.elements.size());
  return cap;
}
CFakeCapability CFakeCapability::FixedEnum(const std::vector<std::string>& values,
                                           maid::ULONG current) {
  CFakeCapability cap = UnsignedEnum({}, current);
  cap.enumKind = kNkMAIDArrayType_String;
  cap.elementSize = 256;
  cap.elementCount = static_cast<maid::ULONG>(values.size());
  cap.elements.assign(values.size() * 256, 0);
  for (std::size_t i = 0; i < values.size(); ++i) values[i].copy(&cap.elements[i * 256], 255);
  return cap;
}

CFakeObject CFakeObject::Make(maid::ULONG id, std::map<maid::ULONG, CFakeCapability> caps,
                              const std::vector<CFakeObject>& children) {
  CFakeObject object;
  object.id = id;
  object.caps = std::move(caps);
  std::vector<maid::ULONG> ids;
  for (const CFakeObject& child : children) {
    object.children[child.id] = child;
    ids.push_back(child.id);
  }
  object.caps[kNkMAIDCapability_EventProc] = CFakeCapability::Process();
  object.caps[kNkMAIDCapability_DataProc] = CFakeCapability::Process();
  object.caps[kNkMAIDCapability_Children] = CFakeCapability::UnsignedEnum(ids, 0);
  return object;
}

CFakeModule::CFakeModule() { g_fake = this; }
CFakeModule::~CFakeModule() {
  if (g_fake == this) g_fake = nullptr;
}

maid::NKERROR CFakeModule::FakeEntryPoint(maid::MaidObject* object, maid::ULONG command,
                                          maid::ULONG param, maid::ULONG dataType,
                                          maid::NKPARAM data, maid::CompletionProc proc,
                                          maid::NKREF ref) {
  if (!g_fake) return kNkMAIDResult_UnexpectedError;
  return g_fake->handle(object, command, param, dataType, data, proc, ref);
}

int CFakeModule::count(maid::ULONG command, std::int64_t objectId) const {
  int n = 0;
  for (const auto& call : calls)
    if (call.second == command && (objectId < 0 || call.first == objectId)) ++n;
  return n;
}

CFakeObject* CFakeModule::find(const std::vector<maid::ULONG>& path) {
  CFakeObject* node = &root;
  for (maid::ULONG id : path) node = Child(node, id);
  return node;
}

CFakeObject* CFakeModule::byRecord(maid::MaidObject* record, CFakeObject& from) {
  if (from.record == record) return &from;
  for (auto& child : from.children)
    if (CFakeObject* found = byRecord(record, child.second)) return found;
  return nullptr;
}

maid::NKERROR CFakeModule::handle(maid::MaidObject* object, maid::ULONG command, maid::ULONG param,
                                  maid::ULONG dataType, maid::NKPARAM data,
                                  maid::CompletionProc proc, maid::NKREF ref) {
  CFakeObject* self = object ? byRecord(object, root) : nullptr;
  calls.push_back({object ? (self ? self->id : 0xFFFFFFFEu) : kModuleOpenId, command});
  if (command == kNkMAIDCommand_Open) {
    CFakeObject* target = object ? Child(self, param) : &root;
    if (!target) return kNkMAIDResult_ValueOutOfBounds;
    if (target->openResult != 0) return target->openResult;
    target->record = reinterpret_cast<maid::MaidObject*>(data);
    ++openObjects;
    return 0;
  }
  if (!self) return kNkMAIDResult_ZombieObject;
  switch (command) {
    case kNkMAIDCommand_Close:
      self->record = nullptr;
      self->eventProc = {};
      self->dataProc = {};
      --openObjects;
      closeOrder.push_back(self->id);
      return 0;
    case kNkMAIDCommand_Async:
      // Taken out first: a step or completion may queue more, for the next Async.
      for (auto& step : std::exchange(onAsync, {})) step();
      if (completeOnAsync)
        for (auto& complete : std::exchange(m_pending, {})) complete();
      return asyncResult;
    case kNkMAIDCommand_GetCapCount:
      *reinterpret_cast<maid::ULONG*>(data) = static_cast<maid::ULONG>(self->caps.size());
      return 0;
    case kNkMAIDCommand_GetCapInfo: {
      if (bufferSizeAnswers > 0) {
        --bufferSizeAnswers;
        return kNkMAIDResult_BufferSize;
      }
      if (param < self->caps.size()) return kNkMAIDResult_BufferSize;
      auto* info = reinterpret_cast<maid::MaidCapInfo*>(data);
      for (const auto& cap : self->caps)
        *info++ = maid::MaidCapInfo{cap.first, cap.second.type, 0, 0, {}};
      return 0;
    }
    default:
      break;
  }
  auto capIt = self->caps.find(param);
  if (capIt == self->caps.end()) return kNkMAIDResult_NotSupported;
  CFakeCapability& cap = capIt->second;
  switch (command) {
    case kNkMAIDCommand_CapSet:
      if (param == kNkMAIDCapability_EventProc || param == kNkMAIDCapability_DataProc) {
        maid::MaidCallback callback{};
        if (dataType == kNkMAIDDataType_CallbackPtr && data)
          callback = *reinterpret_cast<maid::MaidCallback*>(data);
        (param == kNkMAIDCapability_EventProc ? self->eventProc : self->dataProc) = callback;
      } else if (dataType == kNkMAIDDataType_Unsigned) {
        cap.value = static_cast<maid::ULONG>(data);
      }
      return 0;
    case kNkMAIDCommand_CapStart:
      if (cap.startResult != 0) return cap.startResult;
      if (proc)
        m_pending.push_back([this, object, param, proc, ref] {
          proc(object, kNkMAIDCommand_CapStart, param, 0, 0, ref, completionResult);
        });
      return 0;
    case kNkMAIDCommand_CapGet:
      if (cap.getResult != 0) return cap.getResult;
      switch (dataType) {
        case kNkMAIDDataType_BooleanPtr:
          *reinterpret_cast<unsigned char*>(data) = cap.value ? 1 : 0;
          return 0;
        case kNkMAIDDataType_IntegerPtr:
        case kNkMAIDDataType_UnsignedPtr:
          *reinterpret_cast<maid::ULONG*>(data) = cap.value;
          return 0;
        case kNkMAIDDataType_StringPtr:
          std::strncpy(reinterpret_cast<char*>(data), cap.text.c_str(), 256);
          return 0;
        case kNkMAIDDataType_EnumPtr: {
          auto* e = reinterpret_cast<maid::MaidEnum*>(data);
          e->ulType = cap.enumKind;
          e->ulElements = cap.elementCount;
          e->ulValue = cap.current;
          e->wPhysicalBytes = cap.elementSize;
          return 0;
        }
        default:
          return kNkMAIDResult_UnexpectedDataType;
      }
    case kNkMAIDCommand_CapGetArray: {
      std::memcpy(reinterpret_cast<maid::MaidEnum*>(data)->pData, cap.elements.data(),
                  cap.elements.size());
      return 0;
    }
    default:
      return kNkMAIDResult_NotSupported;
  }
}
