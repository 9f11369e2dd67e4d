// A scripted camera module for what the simulator cannot do: a tree of fake objects behind a
// plain entry point, recording every call and delivering queued events and completions inside
// Async, as real modules do. The newest CFakeModule is current until destroyed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "camera/maid/maid.h"
#include "camera/modules/nikon_module.h"
#include "tests/camera/sim_fixture.h"

struct CFakeCapability {
  maid::ULONG type = kNkMAIDCapType_Unsigned;
  maid::ULONG value = 0;  // integer, unsigned and boolean value
  std::string text;
  // Enumerations: kind, element size, current index and the raw element bytes.
  maid::ULONG enumKind = kNkMAIDArrayType_Unsigned;
  std::uint16_t elementSize = 4;
  maid::ULONG current = 0;
  maid::ULONG elementCount = 0;  // byte length for packed strings
  std::vector<char> elements;
  maid::NKERROR getResult = 0;    // answered by CapGet instead of the value when not 0
  maid::NKERROR startResult = 0;  // answered by CapStart

  static CFakeCapability Unsigned(maid::ULONG value, maid::ULONG type = kNkMAIDCapType_Unsigned) {
    CFakeCapability cap;
    cap.type = type;
    cap.value = value;
    return cap;
  }
  static CFakeCapability Text(const std::string& text) {
    CFakeCapability cap = Unsigned(0, kNkMAIDCapType_String);
    cap.text = text;
    return cap;
  }
  static CFakeCapability Bool(bool value) { return Unsigned(value, kNkMAIDCapType_Boolean); }
  static CFakeCapability Process() { return Unsigned(0, kNkMAIDCapType_Process); }
  static CFakeCapability UnsignedEnum(const std::vector<maid::ULONG>& values, maid::ULONG current);
  static CFakeCapability PackedEnum(const std::vector<std::string>& values, maid::ULONG current);
  static CFakeCapability FixedEnum(const std::vector<std::string>& values, maid::ULONG current);
};

struct CFakeObject {
  maid::ULONG id = 0;
  std::map<maid::ULONG, CFakeCapability> caps;  // listed in id order
  std::map<maid::ULONG, CFakeObject> children;  // openable children by id
  maid::NKERROR openResult = 0;
  // Filled while open.
  maid::MaidObject* record = nullptr;
  maid::MaidCallback eventProc{};
  maid::MaidCallback dataProc{};
  // An object with `caps`, `children` under their ids, and the capabilities every object has:
  // EventProc, DataProc and Children (listing `children`).
  static CFakeObject Make(maid::ULONG id, std::map<maid::ULONG, CFakeCapability> caps = {},
                          const std::vector<CFakeObject>& children = {});
};

class CFakeModule {
 public:
  CFakeModule();
  ~CFakeModule();

  static maid::NKERROR FakeEntryPoint(maid::MaidObject* object, maid::ULONG command,
                                      maid::ULONG param, maid::ULONG dataType, maid::NKPARAM data,
                                      maid::CompletionProc proc, maid::NKREF ref);

  // Number of recorded calls of `command` (to the object `objectId`, or any when -1).
  int count(maid::ULONG command, std::int64_t objectId = -1) const;
  // The fake of an open or openable object: the root, or a path of child ids.
  CFakeObject* find(const std::vector<maid::ULONG>& path);

  CFakeObject root;  // the module object
  // Every call, in order: the object's id (0xFFFFFFFF for a module open) and the command.
  std::vector<std::pair<maid::ULONG, maid::ULONG>> calls;
  int bufferSizeAnswers = 0;    // GetCapInfo answers BufferSize this many times
  bool completeOnAsync = true;  // pending CapStarts complete at the next Async
  maid::NKERROR completionResult = 0;
  maid::NKERROR asyncResult = 0;
  std::vector<std::function<void()>> onAsync;  // run (and dropped) at the next Async
  int openObjects = 0;                         // opened and not yet closed
  std::vector<maid::ULONG> closeOrder;         // ids in the order of their Close

 private:
  maid::NKERROR handle(maid::MaidObject* object, maid::ULONG command, maid::ULONG param,
                       maid::ULONG dataType, maid::NKPARAM data, maid::CompletionProc proc,
                       maid::NKREF ref);
  CFakeObject* byRecord(maid::MaidObject* record, CFakeObject& from);
  std::vector<std::function<void()>> m_pending;  // completions of started capabilities
};

// A host test whose camera module, once open()ed at `ordinal`, runs on the fake.
class FakeModuleTest : public simtest::HostTest {
 protected:
  void TearDown() override LB_RELEASE(g_sdkLock) {
    module.reset();
    HostTest::TearDown();
  }
  void open(unsigned ordinal = 1) {
    module = std::make_unique<CNikonModule>(&CFakeModule::FakeEntryPoint, ordinal);
  }
  CFakeModule fake;
  std::unique_ptr<CNikonModule> module;
};
