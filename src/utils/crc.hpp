// Frame checksums: CRC-16/MODBUS and the word-wise CRC-32 of header-version-0 frames.
#pragma once

#include <cstdint>
#include <span>

namespace kx::utils {

// Polynomial 0x8005 reflected (0xA001), init 0xFFFF, no final xor. "123456789" -> 0x4B37.
std::uint16_t crc16_modbus(std::span<const std::uint8_t> data);

// MSB-first CRC-32 (polynomial 0x04C11DB7, init 0xFFFFFFFF, no final xor) fed one
// little-endian 32-bit word at a time. Only whole words are fed: a trailing partial
// word is ignored. "1234" -> 0xC2091428.
std::uint32_t crc32_words(std::span<const std::uint8_t> data);

}  // namespace kx::utils
