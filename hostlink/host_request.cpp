#include "hostlink/host_request.h"

#include <atomic>
#include <exception>
#include <new>

#include "hostlink/outgoing_queue.h"
#include "platform/trace.h"
#include "values/decode_error.h"
#include "values/lua_value.h"
#include "values/message_frame.h"

namespace {

std::atomic<std::uint64_t> g_handedOver{0};

}  // namespace

bool HandleHostRequest(const void* bytes, std::size_t size, const HostRequestHandler& handler) {
  if (size == 0 || !handler) return false;
  DecodedMessage request;
  try {
    request = DecodeMessageFrame(bytes, size);
  } catch (const std::exception& error) {
    // A request the host could not have meant (cut short, hostile or simply corrupt) is
    // dropped like one with an unknown tag; the next request is read as usual.
    Trace("Dropped a request of %zu bytes that does not decode: %s", size, error.what());
    return false;
  }
  if (!request.name || !request.payload) {
    Trace("Dropped a request of %zu bytes with an unknown value tag", size);
    return false;
  }
  const std::uint64_t handedOver = g_handedOver.load();
  const auto* name = dynamic_cast<const ZnLuaTEString*>(request.name.get());
  if (name && QueueStandingReply(request.requestId, name->getString(), handedOver)) return true;
  handler(request.requestId, request.name.get(), request.payload.get());
  // After the handler: a camera thread that sees this count also finds the request queued.
  g_handedOver.store(handedOver + 1);
  return true;
}

std::uint64_t HandedOverRequestCount() { return g_handedOver.load(); }

bool EncodeMessageForHost(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* value,
                          std::string& frame) {
  if (!name) return false;
  try {
    frame = EncodeMessageFrame(requestId, name, value);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (frame.size() > kMaxMessageSize) {
    LogLine("Message (%s) to server was too large at %ld bytes. Max size is %ld bytes.\n",
            name->getString().c_str(), static_cast<long>(frame.size()),
            static_cast<long>(kMaxMessageSize));
    frame.clear();
    frame.shrink_to_fit();
    return false;
  }
  return true;
}

bool EncodeMessageForHost(const OutgoingMessage& message, std::string& frame) {
  return EncodeMessageForHost(message.requestId, message.name.get(), message.value.get(), frame);
}
