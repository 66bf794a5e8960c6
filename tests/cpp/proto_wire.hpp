// Builders of Protocol Buffers wire bytes for decoder tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace kx::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes varint(std::uint64_t v) {
    Bytes out;
    do {
        std::uint8_t b = v & 0x7F;
        v >>= 7;
        out.push_back(v ? (b | 0x80) : b);
    } while (v);
    return out;
}

inline Bytes key(std::uint32_t tag, std::uint32_t wire_type) {
    return varint((static_cast<std::uint64_t>(tag) << 3) | wire_type);
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Key, length and body of a length-delimited field.
inline Bytes ld(std::uint32_t tag, const Bytes& body) { return cat({key(tag, 2), varint(body.size()), body}); }

inline Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace kx::test
