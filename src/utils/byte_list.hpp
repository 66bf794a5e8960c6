// Bytes as a list of decimal numbers, "[1, 2, 255]": the text log records show
// raw data in.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace kx::utils {

void append_byte_list(std::string& out, std::span<const std::uint8_t> bytes);
void append_byte_list(std::string& out, std::string_view bytes);

// A byte string as a log argument, written out only when the record is delivered.
struct ByteList {
    std::span<const std::uint8_t> bytes;
};

}  // namespace kx::utils

template <>
struct fmt::formatter<kx::utils::ByteList> : fmt::formatter<std::string_view> {
    template <typename Ctx>
    auto format(const kx::utils::ByteList& list, Ctx& ctx) const {
        std::string text;
        kx::utils::append_byte_list(text, list.bytes);
        return fmt::formatter<std::string_view>::format(text, ctx);
    }
};
