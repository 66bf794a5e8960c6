#include <gtest/gtest.h>

#include <google/protobuf/stubs/common.h>

#include <cstdint>
#include <string>

#include "utils/unicode.hpp"

namespace {

// Against libprotobuf's own check: every sequence of up to three bytes (third bytes
// from every class boundary) and four-byte sequences from every class boundary.
TEST(Utf8, ValidationAgreesWithLibprotobuf) {
    const std::uint8_t bounds[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xF4, 0xFF};
    auto agree = [](const std::string& s) {
        return kx::utils::is_valid_utf8(s) == google::protobuf::internal::IsStructurallyValidUTF8(s.data(), static_cast<int>(s.size()));
    };
    for (std::uint32_t v = 0; v < (1u << 16); ++v) {
        std::string s{static_cast<char>(v >> 8), static_cast<char>(v)};
        ASSERT_TRUE(agree(s.substr(1)) && agree(s)) << std::hex << v;
        for (std::uint8_t third : bounds) {
            ASSERT_TRUE(agree(s + static_cast<char>(third))) << std::hex << v << " " << int(third);
            for (std::uint8_t fourth : bounds)
                ASSERT_TRUE(v < 0xF000 || agree(s + static_cast<char>(third) + static_cast<char>(fourth))) << std::hex << v;
        }
    }
}

// Each scalar value, in its canonical encoding, is read back whole.
TEST(Utf8, NextCodePointReadsEveryScalarValue) {
    for (char32_t cp = 0; cp <= 0x10FFFF; cp = cp == 0xD7FF ? 0xE000 : cp + 1) {
        const int tail = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
        std::string s(1, static_cast<char>(tail ? ((0xFF00 >> (tail + 1)) & 0xFF) | (cp >> (6 * tail)) : cp));
        for (int i = tail - 1; i >= 0; --i) s += static_cast<char>(0x80 | ((cp >> (6 * i)) & 0x3F));
        std::size_t pos = 0;
        ASSERT_EQ(kx::utils::next_code_point(s, pos), std::optional<char32_t>(cp)) << std::hex << static_cast<std::uint32_t>(cp);
        ASSERT_EQ(pos, s.size());
    }
}

}  // namespace
