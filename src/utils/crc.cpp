#include "utils/crc.hpp"

#include <array>

namespace kx::utils {
namespace {

constexpr std::array<std::uint16_t, 256> make_crc16_table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t c = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001u) : static_cast<std::uint16_t>(c >> 1);
        table[i] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> make_crc32_msb_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        table[i] = c;
    }
    return table;
}

constexpr auto kCrc16Table = make_crc16_table();
constexpr auto kCrc32Table = make_crc32_msb_table();

}  // namespace

std::uint16_t crc16_modbus(std::span<const std::uint8_t> data) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : data)
        crc = static_cast<std::uint16_t>((crc >> 8) ^ kCrc16Table[(crc ^ b) & 0xFFu]);
    return crc;
}

std::uint32_t crc32_words(std::span<const std::uint8_t> data) {
    std::uint32_t r = 0xFFFFFFFFu;
    const std::size_t words = data.size() / 4;
    for (std::size_t w = 0; w < words; ++w) {
        const std::uint8_t* p = data.data() + 4 * w;
        r ^= static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
             static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
        for (int i = 0; i < 4; ++i) r = (r << 8) ^ kCrc32Table[r >> 24];
    }
    return r;
}

}  // namespace kx::utils
