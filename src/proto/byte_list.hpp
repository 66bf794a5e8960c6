// A byte string as a log argument; formats as its debug text "[1, 2, 255]", only
// when the record is delivered.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <fmt/format.h>

#include "proto/debug_formatter.hpp"
#include "proto/debug_text.hpp"

namespace kx::proto {

struct ByteList {
    std::span<const std::uint8_t> bytes;
};

inline void append_debug(std::string& out, const ByteList& list) { append_debug_bytes(out, list.bytes); }

}  // namespace kx::proto

template <>
struct fmt::formatter<kx::proto::ByteList> : kx::proto::DebugTextFormatter<kx::proto::ByteList> {};
