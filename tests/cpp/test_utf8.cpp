#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "utils/unicode.hpp"

namespace {

using kx::utils::is_valid_utf8;

// Canonical UTF-8 of a scalar value.
std::string encode_utf8(char32_t cp) {
    if (cp < 0x80) return std::string(1, static_cast<char>(cp));
    const int tail = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
    std::string s(1, static_cast<char>(((0xFF00 >> (tail + 1)) & 0xFF) | (cp >> (6 * tail))));
    for (int i = tail - 1; i >= 0; --i) s += static_cast<char>(0x80 | ((cp >> (6 * i)) & 0x3F));
    return s;
}

// Reference: a sequence is valid iff it splits into canonical encodings of scalar values.
bool reference_valid(const std::string& s) {
    for (std::size_t pos = 0; pos < s.size();) {
        std::size_t len = 1;
        for (; len <= 4 && pos + len <= s.size(); ++len) {
            const auto* p = reinterpret_cast<const unsigned char*>(s.data() + pos);
            char32_t cp = len == 1 ? p[0] : p[0] & (0x7F >> len);
            for (std::size_t i = 1; i < len; ++i) cp = (cp << 6) | (p[i] & 0x3F);
            if (cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) && encode_utf8(cp) == s.substr(pos, len)) break;
        }
        if (len > 4 || pos + len > s.size()) return false;
        pos += len;
    }
    return true;
}

// Every scalar value round-trips; every sequence of up to three bytes (third
// bytes from every class boundary) is valid exactly when the reference says so.
TEST(Utf8, ValidationIsExact) {
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        const std::string s = encode_utf8(cp);
        const bool scalar = cp < 0xD800 || cp > 0xDFFF;
        ASSERT_EQ(is_valid_utf8(s), scalar) << std::hex << static_cast<std::uint32_t>(cp);
        std::size_t pos = 0;
        if (!scalar) continue;
        ASSERT_EQ(kx::utils::next_code_point(s, pos), std::optional<char32_t>(cp));
        ASSERT_EQ(pos, s.size());
    }
    const std::uint8_t thirds[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xF4, 0xFF};
    std::string s(3, '\0');
    for (std::uint32_t v = 0; v < (1u << 16); ++v) {
        s[0] = static_cast<char>(v >> 8);
        s[1] = static_cast<char>(v);
        ASSERT_EQ(is_valid_utf8(s.substr(0, 2)), reference_valid(s.substr(0, 2))) << std::hex << v;
        for (std::uint8_t t : thirds) {
            s[2] = static_cast<char>(t);
            ASSERT_EQ(is_valid_utf8(s), reference_valid(s)) << std::hex << v << " " << int(t);
        }
    }
    // Four-byte sequences: overlong, above U+10FFFF, bad lead, bad last continuation.
    for (const char* bad : {"\xF0\x80\x80\xAF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF0\x9F\x98("})
        EXPECT_FALSE(is_valid_utf8(bad)) << bad;
}

}  // namespace
