#include "utils/unicode.hpp"

#include <algorithm>

namespace kx::utils {

std::optional<char32_t> next_code_point(std::string_view text, std::size_t& pos) {
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::size_t start = pos;
    const std::uint8_t b0 = byte(pos++);
    if (b0 < 0x80) return b0;

    std::size_t extra;
    char32_t cp;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        extra = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        extra = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;  // overlong
        if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        extra = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;  // overlong
        if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return std::nullopt;
    }
    if (text.size() - start - 1 < extra) return std::nullopt;
    for (std::size_t i = 1; i <= extra; ++i) {
        const std::uint8_t b = byte(start + i);
        const std::uint8_t min = i == 1 ? lo : 0x80;
        const std::uint8_t max = i == 1 ? hi : 0xBF;
        if (b < min || b > max) return std::nullopt;
        cp = (cp << 6) | (b & 0x3F);
    }
    pos = start + 1 + extra;
    return cp;
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        if (static_cast<std::uint8_t>(bytes[pos]) < 0x80) {
            ++pos;
            continue;
        }
        if (!next_code_point(bytes, pos)) return false;
    }
    return true;
}

bool is_printable(char32_t cp) {
    if (cp >= 0x20 && cp < 0x7F) return true;
    const auto* begin = detail::kNotPrintable;
    const auto* end = begin + detail::kNotPrintableCount;
    // First range whose last code point is not below cp.
    const auto* it = std::lower_bound(begin, end, cp, [](const detail::CodePointRange& r, char32_t c) {
        return r.last < c;
    });
    return it == end || cp < it->first;
}

}  // namespace kx::utils
