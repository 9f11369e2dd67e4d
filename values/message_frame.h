// One protocol message as it travels in one pipe message: the request id as 4 bytes
// little-endian, then the encoded name, then the encoded payload.
//
// Used by the pipe transport (I/O thread), the host-side test client and the tests. Both
// functions are pure: they touch nothing but their arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "values/lua_value.h"

// The largest pipe message either side sends or accepts.
constexpr std::size_t kMaxMessageSize = 0x200000;

// The whole message in one contiguous block. A null payload is sent as nil; a null name too.
std::string EncodeMessageFrame(std::uint32_t requestId, const ZnLuaTE* name,
                               const ZnLuaTE* payload);

struct DecodedMessage {
  std::uint32_t requestId = 0;
  ZnLuaTEPtr name;
  ZnLuaTEPtr payload;
};

// Reads only [bytes, bytes + size), in place. Throws CDecodeError for short or invalid input;
// name (and then payload) or payload alone is null when the decoder met an unknown top-level
// tag, after which nothing further is read. Bytes after the payload are ignored.
DecodedMessage DecodeMessageFrame(const void* bytes, std::size_t size);
