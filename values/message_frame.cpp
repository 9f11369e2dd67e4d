// One protocol message in one contiguous block, and back.
#include "values/message_frame.h"

#include <istream>

#include "values/bytestreambuf.h"
#include "values/decode_error.h"
#include "values/wire_format.h"

std::string EncodeMessageFrame(std::uint32_t requestId, const ZnLuaTE* name,
                               const ZnLuaTE* payload) {
  const ZnLuaTENil nil;
  if (!name) name = &nil;
  if (!payload) payload = &nil;
  std::string frame;
  // Sized once, so even a 1 MiB data payload is copied exactly once.
  frame.reserve(4 + name->encodedSize() + payload->encodedSize());
  AppendWireInt32(frame, static_cast<std::int32_t>(requestId));
  name->appendEncoding(frame);
  payload->appendEncoding(frame);
  return frame;
}

DecodedMessage DecodeMessageFrame(const void* bytes, std::size_t size) {
  if (size < 4) ThrowDecodeError("message shorter than its request id");
  DecodedMessage message;
  message.requestId = static_cast<std::uint32_t>(ReadWireInt32(static_cast<const char*>(bytes)));
  bytestreambuf block(static_cast<const char*>(bytes) + 4, size - 4);
  std::istream in(&block);
  message.name = ZnLuaTE::read(in);
  if (message.name) message.payload = ZnLuaTE::read(in);
  return message;
}
