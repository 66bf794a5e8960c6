#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "utils/crc.hpp"

namespace {

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// Bit-by-bit reference of CRC-32/MPEG-2 (MSB first, init all ones, no final xor).
std::uint32_t crc32_mpeg2_bitwise(const std::vector<std::uint8_t>& data) {
    std::uint32_t r = 0xFFFFFFFF;
    for (std::uint8_t b : data) {
        r ^= static_cast<std::uint32_t>(b) << 24;
        for (int i = 0; i < 8; ++i) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
    }
    return r;
}

// Bit-by-bit reference of CRC-16/MODBUS.
std::uint16_t crc16_modbus_bitwise(const std::vector<std::uint8_t>& data) {
    std::uint16_t r = 0xFFFF;
    for (std::uint8_t b : data) {
        r ^= b;
        for (int i = 0; i < 8; ++i) r = (r & 1) ? static_cast<std::uint16_t>((r >> 1) ^ 0xA001) : r >> 1;
    }
    return r;
}

TEST(Crc, CheckValuesAndExamples) {
    EXPECT_EQ(kx::utils::crc16_modbus(bytes_of("123456789")), 0x4B37);
    EXPECT_EQ(kx::utils::crc16_modbus(bytes_of("")), 0xFFFF);
    EXPECT_EQ(kx::utils::crc16_modbus(bytes_of(std::string_view("\x01", 1))), 0x807E);
    EXPECT_EQ(kx::utils::crc32_words(bytes_of("1234")), 0xC2091428u);
    EXPECT_EQ(kx::utils::crc32_words(bytes_of("12345678")), 0xFEFC54F9u);
    EXPECT_EQ(kx::utils::crc32_words(bytes_of("")), 0xFFFFFFFFu);
    // A trailing partial word is ignored.
    EXPECT_EQ(kx::utils::crc32_words(bytes_of("1234567")), 0xC2091428u);
}

TEST(Crc, TableDrivenMatchesBitwiseReferences) {
    std::uint32_t seed = 12345;
    for (int round = 0; round < 400; ++round) {
        std::vector<std::uint8_t> data(static_cast<std::size_t>(round));
        for (auto& b : data) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(seed >> 16);
        }
        EXPECT_EQ(kx::utils::crc16_modbus(data), crc16_modbus_bitwise(data));
        // The word-wise CRC-32 is MPEG-2 over each 4-byte group reversed.
        data.resize(data.size() / 4 * 4);
        std::vector<std::uint8_t> swapped(data.size());
        for (std::size_t i = 0; i < data.size(); i += 4)
            for (int k = 0; k < 4; ++k) swapped[i + k] = data[i + 3 - k];
        EXPECT_EQ(kx::utils::crc32_words(data), crc32_mpeg2_bitwise(swapped));
    }
}

}  // namespace
