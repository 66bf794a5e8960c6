// A byte string as a log argument; formats as its debug text "[1, 2, 255]", only
// when the record is delivered.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <fmt/format.h>

#include "proto/debug_text.hpp"

namespace kx::proto {

struct ByteList {
    std::span<const std::uint8_t> bytes;
};

}  // namespace kx::proto

template <>
struct fmt::formatter<kx::proto::ByteList> : kx::proto::detail::DebugFormatterBase {
    template <typename Ctx>
    auto format(const kx::proto::ByteList& list, Ctx& ctx) const {
        std::string s;
        kx::proto::append_debug_bytes(s, list.bytes);
        return fmt::format_to(ctx.out(), "{}", s);
    }
};
