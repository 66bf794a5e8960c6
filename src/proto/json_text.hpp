// Compact JSON text of catalogue messages and of ParsedMessage, written
// straight into the caller's buffer while the message is walked.
#pragma once

#include <optional>
#include <string>

#include <fmt/format.h>

#include "proto/debug_formatter.hpp"

#include "proto/parsed_message.hpp"

namespace kx::proto {

// The one failure: an enum field holding a non-zero number its enum does not
// name. `text` is "Invalid variant <number>".
struct JsonError {
    std::string text;
    bool operator==(const JsonError&) const = default;
};

// Appends the JSON text of a bare message (e.g. `{"msgId":4,"eeg":{"cmd":"ENABLE"}}`).
// On error the text appended so far is not a result: callers must discard `out`.
std::optional<JsonError> append_json(std::string& out, const google::protobuf::Message& message);

// Appends `{"Orvel":{"<direction>":<message>}}`.
std::optional<JsonError> append_json(std::string& out, const ParsedMessage& message);

// Appends `Error("Invalid variant 7", line: 0, column: 0)`.
void append_debug(std::string& out, const JsonError& error);

// Building blocks (floats: utils/float_text.hpp).
void append_json_string(std::string& out, std::string_view text);
void append_base64(std::string& out, std::string_view bytes);

}  // namespace kx::proto

template <>
struct fmt::formatter<kx::proto::JsonError> : kx::proto::DebugTextFormatter<kx::proto::JsonError> {};
