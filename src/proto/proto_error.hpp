// Errors of message parsing: why a checked frame gave no message.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include <fmt/format.h>

#include "proto/debug_formatter.hpp"
#include "proto/decode.hpp"
#include "proto/json_text.hpp"
#include "proto/msg_type.hpp"

namespace kx::proto {

struct ProtoError {
    // A CRC-valid frame this parser does not decode (any family but Orvel).
    struct UnknownProtoType { MsgType parser_type; };
    struct UnsupportedHeaderVersion { MsgType parser_type; std::uint8_t header_version; };
    struct UnsupportedPayloadVersion { MsgType parser_type; std::uint8_t version; };
    struct InvalidSourceModule { MsgType parser_type; std::uint8_t source; };
    struct InvalidDestinationModule { MsgType parser_type; std::uint8_t destination; };
    struct InvalidModule { MsgType parser_type; std::uint8_t source; std::uint8_t destination; };
    struct DecodingError { DecodeError error; };
    struct JsonError { proto::JsonError error; };

    std::variant<UnknownProtoType, UnsupportedHeaderVersion, UnsupportedPayloadVersion, InvalidSourceModule,
                 InvalidDestinationModule, InvalidModule, DecodingError, JsonError>
        value;
};

// `InvalidModule(Orvel, 0, 1)`, `DecodingError(DecodeError { ... })`.
void append_debug(std::string& out, const ProtoError& error);

}  // namespace kx::proto

// `{}` and `{:?}` both give the debug text.
template <>
struct fmt::formatter<kx::proto::ProtoError> : kx::proto::DebugTextFormatter<kx::proto::ProtoError> {};
