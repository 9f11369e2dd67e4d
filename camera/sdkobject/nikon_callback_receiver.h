// CNikonCallbackReceiver: the interface through which the camera SDK's callbacks reach us.
//
// The SDK is handed plain procedures (see nikon_object.h); they turn each callback into one of
// these virtual calls on the wrapper whose reference the SDK gave back. The slot order is fixed:
// completion, data, event, destructor.
//
// Threads: callbacks arrive inside our own SDK calls (mostly kNkMAIDCommand_Async), on the thread
// making that call, which holds the SDK lock. Handlers therefore run under that lock and may call
// back into the SDK.
#pragma once

#include "camera/maid/maid.h"

class CNikonCallbackReceiver {
 public:
  // A command started with kNkMAIDCommand_CapStart finished with `result`; `context` is the
  // value stored in its completion record.
  virtual void onCompletion(maid::ULONG command, maid::NKERROR result, maid::NKPARAM context) = 0;

  // A block of data from the data procedure; the result is handed back to the SDK.
  virtual maid::NKERROR onData(void* dataInfo, void* data) = 0;

  // An SDK event with its pointer-sized argument.
  virtual void onEvent(maid::ULONG event, maid::NKPARAM data) = 0;

  virtual ~CNikonCallbackReceiver() = default;
};
