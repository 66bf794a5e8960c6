// Debug text of messages, the `{:?}` form in log records: every field shown
// with its value, defaults included, on one line.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

#include <fmt/format.h>

#include "proto/debug_formatter.hpp"

#include "proto/parsed_message.hpp"

namespace kx::proto {

// `MainApp { msg_id: 7, err: Success, eeg: None, imu: None }`
void append_debug(std::string& out, const google::protobuf::Message& message);
// `Mcu2App(MainApp { ... })`
void append_debug(std::string& out, const OrvelMessage& message);
// `Orvel(Mcu2App(MainApp { ... }))`
void append_debug(std::string& out, const ParsedMessage& message);

// Building blocks for composite debug texts (device id, buffers, errors);
// floats: utils/float_text.hpp; bytes: utils/byte_list.hpp.
// A quoted text with escapes: `"cap-1"`, `"a\"b\n\u{1}"`.
void append_debug_quoted(std::string& out, std::string_view text);

template <typename T>
std::string debug_string(const T& value) {
    std::string s;
    append_debug(s, value);
    return s;
}

}  // namespace kx::proto

// `{}` and `{:?}` both give the debug text.
template <typename M>
struct fmt::formatter<M, char, std::enable_if_t<std::is_base_of_v<google::protobuf::Message, M>>>
    : kx::proto::detail::DebugFormatterBase {
    template <typename Ctx>
    auto format(const M& m, Ctx& ctx) const {
        return fmt::format_to(ctx.out(), "{}", kx::proto::debug_string<google::protobuf::Message>(m));
    }
};

template <>
struct fmt::formatter<kx::proto::OrvelMessage> : kx::proto::DebugTextFormatter<kx::proto::OrvelMessage> {};

template <>
struct fmt::formatter<kx::proto::ParsedMessage> : kx::proto::DebugTextFormatter<kx::proto::ParsedMessage> {};
