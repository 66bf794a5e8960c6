// Decoding a checked payload as the top-level message its direction names.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "proto/proto_error.hpp"

namespace google::protobuf {
class Message;
}

namespace kx::proto {

// Decodes the whole payload into `message`. A failure is logged with the message's
// type path and the payload, and returned as DecodingError.
std::optional<ProtoError> decode_payload(std::span<const std::uint8_t> payload, google::protobuf::Message& message);

}  // namespace kx::proto
