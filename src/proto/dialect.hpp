// Frame dialects of the device families and the wire rules that delimit,
// check and write one frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "proto/msg_type.hpp"

namespace kx::proto {

// Module ids carried in frame headers.
inline constexpr std::uint8_t kModuleMcu = 0;
inline constexpr std::uint8_t kModuleBle = 1;
inline constexpr std::uint8_t kModuleApp = 2;

struct FrameDialect {
    MsgType type;
    std::uint8_t header_version;  // 0, 1 or 2: layout, length byte order and CRC
    std::uint8_t project_id;
    std::array<std::uint8_t, 7> prefix_bytes;
    std::uint8_t prefix_length;
    std::size_t header_length;  // bytes before the payload

    std::span<const std::uint8_t> header_prefix() const { return {prefix_bytes.data(), prefix_length}; }
    // Varnet's table entry (version 0, header length 0) has no length field to read.
    bool can_delimit_frames() const;
    std::size_t crc_size() const { return header_version == 0 ? 4 : 2; }
};

FrameDialect dialect_of(MsgType type);

// Where the frame that starts at the front of a buffer ends.
struct FrameExtent {
    std::size_t expected_length;  // whole frame, CRC included
    std::size_t padding;          // pad bytes between payload and CRC-32
};

// Needs the header (header_length bytes, at least 8 for version 0) at the front of
// `buffer`; nullopt when the bytes are too few or the dialect cannot delimit frames.
std::optional<FrameExtent> frame_extent(const FrameDialect& dialect, std::span<const std::uint8_t> buffer);

struct CrcCheck {
    bool ok;
    std::uint32_t stored;
    std::uint32_t calculated;
};
// `frame` is exactly one whole frame as delimited by frame_extent.
CrcCheck check_frame_crc(const FrameDialect& dialect, std::span<const std::uint8_t> frame);

std::span<const std::uint8_t> frame_payload(const FrameDialect& dialect, std::span<const std::uint8_t> frame,
                                            std::size_t padding);

struct ModuleIds {
    std::uint8_t source;
    std::uint8_t destination;
};
// Version 1 frames carry no module bytes.
std::optional<ModuleIds> frame_modules(const FrameDialect& dialect, std::span<const std::uint8_t> frame);

// Writes one whole frame: header, payload, padding (zeros) and CRC. `extra_header_byte`
// goes after the module bytes of version-2 frames. Payloads above 65535 bytes do not fit
// the length field; the caller keeps within it. Throws std::logic_error for a dialect
// that cannot delimit frames.
std::vector<std::uint8_t> encode_frame(const FrameDialect& dialect, ModuleIds modules, std::uint8_t extra_header_byte,
                                       std::span<const std::uint8_t> payload);

}  // namespace kx::proto
