// CNikonObject: the wrapper of one open SDK object (module, source, item or data object).
//
// The SDK exposes a tree of objects; each open one is wrapped by exactly one CNikonObject (or a
// subclass: CNikonModule, CCamera, the download's container and data objects). The wrapper
// opens the SDK object in its constructor and closes it in its destructor, owns its wrapped
// children, caches the object's capability list once, offers typed reads and writes of
// capability values with uniform result codes, and turns the SDK's event, data and completion
// callbacks into virtual calls.
//
// Result codes of the capability operations: 0 success; an SDK result (kNkMAIDResult_*); -1
// when the object is not open or for a type or kind mismatch; kCapabilityNotFound (50000) when
// the capability is not in the object's list. A value is written only on success.
//
// Errors at construction: when the SDK refuses to open the object, the constructor throws the
// SDK result as a plain `int` (catch (int result)). Nothing leaks in that case.
//
// Ownership: a child is built by whoever wants it (std::make_unique<T>(parent, id, ...)), which
// owns it until it is ready, and then handed to its parent with adoptChild. From then on the
// parent's m_children is its only owner: the parent destroys it with destroyChild, or in its
// own destructor (in id order, before its own SDK object is closed); everyone else only
// borrows it. A child that never reaches adoptChild (its set-up failed) is destroyed by its
// unique_ptr and was never the parent's. m_parent and m_eventTarget are not owned.
//
// Threads: the wrapper takes no lock. Every method must be called with the SDK lock held, on
// the camera thread (its commands, heartbeat and long operations). The SDK's callbacks arrive
// inside our own SDK calls on the calling thread, so onEvent/onData/onCompletion run under the
// same lock and may call back into the SDK.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "camera/maid/maid.h"
#include "camera/sdkobject/nikon_callback_receiver.h"
#include "values/lua_value.h"

// A block the wrapper allocates with calloc for the SDK to fill (capability lists, enum
// arrays, children), released with free whichever way the call ends.
struct CFreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
template <typename T>
using CSdkBlock = std::unique_ptr<T[], CFreeDeleter>;

// The record of one open SDK object. The SDK keeps its address from the open to the close, so
// it is allocated once per open and freed only after the close (or a refused open).
using CSdkRecord = std::unique_ptr<maid::MaidObject>;

// The capability is not in the object's capability list.
constexpr int kCapabilityNotFound = 50000;
// An enumeration whose current index is at or past its entries: the entries are read, the
// current value is not known.
constexpr int kCurrentEntryMissing = 50001;

// What the completion procedure needs to know about one started command. Allocated for the
// start, freed by the completion procedure (the first completion) or, if none comes, by
// ReleaseAbandonedCompletions. The module is handed not the record's address but a token
// that is never used again, so a module that completes a start twice, or completes a start
// whose record is long gone, reaches nothing: the completion procedure finds no record for
// the token and ignores it.
struct CNikonCompletionRecord {
  CNikonCallbackReceiver* receiver = nullptr;  // told of the completion; not owned; may be null
  maid::NKPARAM context = 0;                   // handed to receiver->onCompletion
  std::uint32_t* counter = nullptr;            // incremented on completion; null once abandoned
};

// One started command's completion record, for the command's start and the polls until it
// completes. The record goes to the SDK with the start; when this goes it is settled the one
// sound way: a completion that came has freed it already; otherwise the record stays with the
// module, cut off from our counter and the receiver, for the completion procedure to
// free if the completion ever comes. That holds for a refused start too: a module may still
// complete a start it refused, on a later Async. Records nobody completed are freed by
// ReleaseAbandonedCompletions once no module can call them any more.
//
// Threads: the camera thread, with the SDK lock held. Neither copied nor moved: the record
// points at m_completions.
class CPendingCompletion {
 public:
  explicit CPendingCompletion(CNikonCallbackReceiver* receiver);
  ~CPendingCompletion();
  CPendingCompletion(const CPendingCompletion&) = delete;
  CPendingCompletion& operator=(const CPendingCompletion&) = delete;

  // The completion reference for the start call: the record's token.
  maid::NKREF record() const { return m_token; }
  bool completed() const { return m_completions != 0; }

 private:
  std::uint32_t m_completions = 0;
  CNikonCompletionRecord* m_record;  // freed by the completion procedure or abandoned
  maid::NKREF m_token;
};

// Frees the records of starts that never completed. Only once every module object is closed
// (the module manager's end), when no completion can come any more. SDK lock held.
void ReleaseAbandonedCompletions();

// Counts the data blocks and completions the procedures below delivered, so a camera's steps
// can tell a camera that still delivers from one with nothing new. Only differences are
// meaningful. SDK lock held.
std::uint64_t SdkActivityCount();

// The procedures given to the SDK. `ref` is the CNikonObject* (client reference) for the event
// and data procedures and a CPendingCompletion token for the completion procedure. Null
// references, and tokens of records already completed or released, are ignored (the data
// procedure answers 0).
void NikonEventProc(maid::NKREF ref, maid::ULONG event, maid::NKPARAM data);
maid::NKERROR NikonDataProc(maid::NKREF ref, void* dataInfo, void* data);
void NikonCompletionProc(maid::MaidObject* object, maid::ULONG command, maid::ULONG param,
                         maid::ULONG dataType, maid::NKPARAM data, maid::NKREF completionRef,
                         maid::NKERROR result);

class CNikonObject : public CNikonCallbackReceiver {
 public:
  // A module: opens the top-level SDK object through `entryPoint` (parent null, id 0).
  // Throws the int SDK result when the SDK refuses.
  CNikonObject(maid::EntryPoint entryPoint, CNikonObject* parent, maid::ULONG id);
  // A child: copies the parent's entry point and opens child `id` under `parent` (not null).
  // Throws the int SDK result when the SDK refuses.
  CNikonObject(CNikonObject* parent, maid::ULONG id);

  // Switches the callbacks off, destroys the children (in id order) and closes the SDK object.
  // Subclasses do their own clean-up first.
  ~CNikonObject() override;

  CNikonObject(const CNikonObject&) = delete;
  CNikonObject& operator=(const CNikonObject&) = delete;

  // Opens child `id` of `parent` (null for a module) and loads the capability list; registers
  // the event and data procedures where the object lists them. Throws the int SDK result when
  // the SDK refuses; the object is then left not open. Called by the constructors.
  void open(CNikonObject* parent, maid::ULONG id);
  // Tells the SDK the object is closed, once; afterwards the object reads as closed.
  void closeRecord();

  // (Re)reads the capability list. Leaves the object with no capabilities when the list cannot
  // be read; m_capCount and m_capInfo always agree.
  void loadCapabilityInfo();

  // --- Capability list. ---
  bool hasCapability(maid::ULONG capId) const;
  // The listed record of `capId` (first match), or null. Valid until the list is reloaded.
  const maid::MaidCapInfo* capabilityInfo(maid::ULONG capId) const;
  int capabilityCount() const { return m_capCount; }
  const maid::MaidCapInfo* capabilityList() const { return m_capInfo.get(); }

  // --- Typed reads and writes (results as described at the top). ---

  // Types 2 and 3 only (data type 5 or 6); another listed type answers 0 and leaves `value`.
  int getUnsignedValue(maid::ULONG capId, maid::ULONG& value);
  // The text up to the first zero byte of the 256-byte buffer.
  int getStringValue(maid::ULONG capId, std::string& value);
  int getBoolValue(maid::ULONG capId, bool& value);
  // Enumeration kinds 1 and 2 with 4-byte elements. -1 when the capability is missing, not an
  // enumeration, the object is not open or the kind does not fit. kCurrentEntryMissing, with
  // the values read and `current` left as it was, when the camera's current index is past the
  // list.
  int getUnsignedEnumValue(maid::ULONG capId, maid::ULONG& current,
                           std::vector<maid::ULONG>& values);
  // Enumeration kinds 7 (packed zero-terminated strings) and 8 (256-byte strings). values lists
  // the entries in the SDK's order, so an entry's position is its SDK index. -1 as above;
  // kCurrentEntryMissing, with the values read and `current` empty, as above.
  int getStringEnumValue(maid::ULONG capId, std::string& current, std::vector<std::string>& values);
  // The descriptor of enumeration `capId` (kNkMAIDCommand_CapGet): -1 when it is not a listed
  // enumeration or the object is not open, else the SDK's result.
  int getEnumDescriptor(maid::ULONG capId, maid::MaidEnum& descriptor);
  // kNkMAIDCommand_CapGetArray with `dataType`; the caller has pointed descriptor->pData at its
  // own buffer of the right size.
  int getArrayValue(maid::ULONG capId, maid::ULONG dataType, void* descriptor);
  // Raw kNkMAIDCommand_CapGet into `data` (laid out as `dataType` demands), with the same
  // checks as the typed reads.
  int capGet(maid::ULONG capId, maid::ULONG dataType, void* data);
  // kNkMAIDCommand_CapSet; `data` is the value itself (data type 3) or a pointer.
  int setCapabilityValue(maid::ULONG capId, maid::ULONG dataType, maid::NKPARAM data);
  // The current value as a message value, or null; an enumeration without a current entry
  // gives an empty text. error is written with the failing result,
  // unhandled with 3 (not listed), 2 (type not readable) or 1 (enumeration kind not readable);
  // the caller initialises both.
  ZnLuaTEPtr getCapabilityValue(maid::ULONG capId, int& error, int& unhandled);
  // The SDK ids of the object's children (kNkMAIDCapability_Children). -1 when not open,
  // kCapabilityNotFound, an SDK result or -1 for an unusable answer; ids is then empty.
  int enumerateChildren(std::vector<maid::ULONG>& ids);
  // kNkMAIDCommand_Async on this object; -1 when not open. 0 and 1 mean "keep polling".
  int callAsync();
  // One Async poll of a started command: true while polling may go on (0 done, 1 still
  // working), false when the object is not open or Async answered an error.
  bool pollAsync() { return isOpen() && static_cast<std::uint32_t>(callAsync()) <= 1u; }
  // Traces the whole capability list with names and types (loading it if needed).
  void logCapabilities();

  // --- Children. ---
  // Takes ownership of `child`, opened under this object (its parent() is this), and lends it
  // back. Children may share an id (an object opened again before the old one is gone); each
  // is kept and destroyed on its own.
  template <typename T>
  T* adoptChild(std::unique_ptr<T> child) {
    T* lent = child.get();
    adoptChildObject(std::unique_ptr<CNikonObject>(std::move(child)));
    return lent;
  }
  // Takes `child` out of m_children and destroys it (its SDK object is closed); nothing when
  // it is not one of ours. The entry is gone before the child's destructor runs, so SDK
  // callbacks inside it never find a half-destroyed child.
  void destroyChild(CNikonObject* child);

  // --- State. ---
  bool isOpen() const { return m_object != nullptr; }
  CNikonObject* parent() const { return m_parent; }
  maid::ULONG id() const { return m_id; }
  maid::EntryPoint entryPoint() const { return m_entryPoint; }
  maid::MaidObject* sdkObject() const { return m_object.get(); }
  // For code that closed the SDK object itself (a data object closed early after its
  // download): forgets and frees the record so the destructor neither switches callbacks off
  // nor closes it again.
  void markClosed();

  // How long a release may wait for its completion on top of its exposure time (default
  // 120 s: the camera's processing fits, long-exposure noise reduction too). Process-wide;
  // tests shorten it.
  static unsigned startTimeoutMs();
  static void setStartTimeoutMs(unsigned ms);
  // How long a transfer may go without a block or its completion (default 30 s).
  // Process-wide; tests shorten it.
  static unsigned transferInactivityMs();
  static void setTransferInactivityMs(unsigned ms);

  // --- Callbacks: CNikonObject's own behaviour. ---
  void onCompletion(maid::ULONG command, maid::NKERROR result, maid::NKPARAM context) override;
  // Drops the blocks: only a download's data object, which overrides this, takes them.
  maid::NKERROR onData(void* dataInfo, void* data) override;
  // Traces the event and passes it to m_eventTarget when set.
  void onEvent(maid::ULONG event, maid::NKPARAM data) override;

 protected:
  // The SDK call of this object, through m_entryPoint on m_object.
  maid::NKERROR call(maid::ULONG command, maid::ULONG param, maid::ULONG dataType,
                     maid::NKPARAM data, maid::CompletionProc proc = nullptr,
                     maid::NKREF ref = nullptr);

 private:
  void adoptChildObject(std::unique_ptr<CNikonObject> child);

 public:
  // Fields are public because the module, camera and download code manage them directly
  // (m_eventTarget of the connected camera).
  CSdkRecord m_object;               // null when not open
  CNikonObject* m_parent = nullptr;  // not owned; null for a module
  // The children, by SDK id; the only owner of each. Changed only by adoptChild and
  // destroyChild (and our destructor).
  std::multimap<std::int32_t, std::unique_ptr<CNikonObject>> m_children;
  std::int32_t m_capCount = 0;                      // records in m_capInfo
  CSdkBlock<maid::MaidCapInfo> m_capInfo;           // capability list, in the SDK's order
  maid::ULONG m_id = 0;                             // SDK id this object was opened with
  CNikonCallbackReceiver* m_eventTarget = nullptr;  // not owned
  maid::EntryPoint m_entryPoint = nullptr;          // the module's MAIDEntryPoint
};
