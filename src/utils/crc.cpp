#include "utils/crc.hpp"

#include <array>

namespace kx::utils {
namespace {

// tables[0] is the standard table of the reflected polynomial; tables[k] advances a
// byte by k further zero bytes, so eight bytes are folded per step (slicing-by-8).
using Crc16Tables = std::array<std::array<std::uint16_t, 256>, 8>;

constexpr Crc16Tables make_crc16_tables() {
    Crc16Tables t{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t c = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001u) : static_cast<std::uint16_t>(c >> 1);
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < t.size(); ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu]);
    return t;
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

constexpr Crc16Tables kCrc16 = make_crc16_tables();
constexpr auto kCrc32Table = make_crc32_msb_table();

}  // namespace

std::uint16_t crc16_modbus(std::span<const std::uint8_t> data) {
    std::uint32_t crc = 0xFFFF;
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    for (; n >= 8; n -= 8, p += 8) {
        crc ^= static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
        crc = kCrc16[7][crc & 0xFFu] ^ kCrc16[6][crc >> 8] ^ kCrc16[5][p[2]] ^ kCrc16[4][p[3]] ^
              kCrc16[3][p[4]] ^ kCrc16[2][p[5]] ^ kCrc16[1][p[6]] ^ kCrc16[0][p[7]];
    }
    for (; n > 0; --n, ++p) crc = (crc >> 8) ^ kCrc16[0][(crc ^ *p) & 0xFFu];
    return static_cast<std::uint16_t>(crc);
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
