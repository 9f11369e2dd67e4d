// The portable halves of the pipe transport: turning one received pipe message into a
// dispatched request, and one outgoing message into the bytes of one pipe message.
//
// Threads: both are called only by the I/O thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class ZnLuaTE;
struct OutgoingMessage;

// Takes one decoded request: its id, its name (any value) and its parameters (any value or
// null), all lent for the call.
using HostRequestHandler =
    std::function<void(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* params)>;

// Decodes the request in `bytes` (read in place, nothing beyond `size`) and hands it to
// `handler`. A zero-length message, one shorter than its request id, one whose values fail to
// decode, and one with an unknown top-level tag are dropped without a reply. A request that a
// standing reply answers (QueueStandingReply) is answered so and not handed on. True when the
// request was handed on or answered.
bool HandleHostRequest(const void* bytes, std::size_t size, const HostRequestHandler& handler);

// How many requests HandleHostRequest has handed to its handler; I/O thread writes, any reads.
std::uint64_t HandedOverRequestCount();

// Encodes one message (request id, name, payload or nil) into `frame`. A message over the
// 2 MiB limit is refused with the "too large" line on standard output; exactly the limit is
// still sent. Returns false when nothing is to be sent.
bool EncodeMessageForHost(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* value,
                          std::string& frame);
bool EncodeMessageForHost(const OutgoingMessage& message, std::string& frame);
