// libFuzzer target: the message decoder on arbitrary bytes, as they could arrive on the pipe.
//
// Any input must either decode or raise the decoder's own error; nothing may crash, read out
// of bounds, allocate without bound or recurse too deep. What decodes must re-encode to a
// fixed point: encoding the decoded tree, decoding that and encoding again gives the same
// bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "values/decode_error.h"
#include "values/message_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string first;
  try {
    DecodedMessage message = DecodeMessageFrame(data, size);
    first = EncodeMessageFrame(message.requestId, message.name.get(), message.payload.get());
  } catch (const CDecodeError&) {
    return 0;
  }
  DecodedMessage again = DecodeMessageFrame(first.data(), first.size());  // must not throw
  const std::string second =
      EncodeMessageFrame(again.requestId, again.name.get(), again.payload.get());
  if (first.size() != second.size()) std::abort();
  return 0;
}
