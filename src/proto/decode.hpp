// Decoder of the EEG cap's Protocol Buffers payloads. One reflection-driven
// walk serves every message of the catalogue; its errors name the
// (message, field) pairs they passed through, innermost first.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "proto/debug_formatter.hpp"

namespace google::protobuf {
class Message;
}

namespace kx::proto {

struct DecodeError {
    std::string description;
    // (message name, field name), innermost first; empty for an error at the top level.
    std::vector<std::pair<std::string, std::string>> stack;

    bool operator==(const DecodeError&) const = default;
};

// Appends `DecodeError { description: "...", stack: [("MainApp", "eeg")] }`.
void append_debug(std::string& out, const DecodeError& error);

// Nesting budget of a top-level message; each sub-message and each skipped
// group gets one less.
inline constexpr int kDecodeRecursionLimit = 100;

// Decodes the whole payload into `out`, which is cleared first. On error the
// partly decoded message is cleared again and the error is returned. An empty
// payload gives a message with every field at its default.
std::optional<DecodeError> decode_message(std::span<const std::uint8_t> payload,
                                          google::protobuf::Message& out);

}  // namespace kx::proto

// `{}` and `{:?}` both give the debug text.
template <>
struct fmt::formatter<kx::proto::DecodeError> : kx::proto::DebugTextFormatter<kx::proto::DecodeError> {};
