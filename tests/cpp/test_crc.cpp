#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "frame_test_support.hpp"
#include "utils/crc.hpp"

namespace {

TEST(Crc, CheckValuesAndExamples) {
    EXPECT_EQ(kx::utils::crc16_modbus(kx::test::bytes_of("123456789")), 0x4B37);
    EXPECT_EQ(kx::utils::crc16_modbus(kx::test::bytes_of("\x01")), 0x807E);
    EXPECT_EQ(kx::utils::crc32_words(kx::test::bytes_of("12345678")), 0xFEFC54F9u);
    EXPECT_EQ(kx::utils::crc32_words(kx::test::bytes_of("1234567")), 0xC2091428u);  // as "1234": a trailing partial word is ignored
}

// Against bit-by-bit references: CRC-16/MODBUS, and CRC-32/MPEG-2 (MSB first, init
// all ones, no final xor) over each 4-byte group reversed for the word-wise CRC-32.
TEST(Crc, TableDrivenMatchesBitwiseReferences) {
    std::uint32_t seed = 12345;
    for (std::size_t round = 0; round < 400; ++round) {
        std::vector<std::uint8_t> data(round / 4 * 4), swapped(data.size());
        for (auto& b : data) b = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
        std::uint16_t r16 = 0xFFFF;
        for (std::uint8_t b : data) {
            r16 ^= b;
            for (int i = 0; i < 8; ++i) r16 = (r16 & 1) ? static_cast<std::uint16_t>((r16 >> 1) ^ 0xA001) : r16 >> 1;
        }
        EXPECT_EQ(kx::utils::crc16_modbus(data), r16);
        for (std::size_t i = 0; i < data.size(); ++i) swapped[i] = data[i / 4 * 4 + 3 - i % 4];
        std::uint32_t r32 = 0xFFFFFFFF;
        for (std::uint8_t b : swapped) {
            r32 ^= static_cast<std::uint32_t>(b) << 24;
            for (int i = 0; i < 8; ++i) r32 = (r32 & 0x80000000u) ? (r32 << 1) ^ 0x04C11DB7u : r32 << 1;
        }
        EXPECT_EQ(kx::utils::crc32_words(data), r32);
    }
}

}  // namespace
