#include "proto/enums.hpp"

#include "proto/decode.hpp"
#include "proto/parsed_message.hpp"
#include "utils/byte_list.hpp"
#include "utils/log.hpp"

namespace kx::proto {

std::optional<ProtoError> decode_payload(std::span<const std::uint8_t> payload, google::protobuf::Message& message) {
    auto error = decode_message(payload, message);
    if (!error) return std::nullopt;
    KX_LOG_FIXED(log::Level::Error, "kx_proto_sdk::proto::enums", log::fixed::kDecodingError,
                 "Decoding error for type {}: {}", message_type_path(message), utils::ByteList{payload});
    return ProtoError{ProtoError::DecodingError{std::move(*error)}};
}

}  // namespace kx::proto
