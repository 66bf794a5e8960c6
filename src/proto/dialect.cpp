#include "proto/dialect.hpp"

#include <stdexcept>

#include <fmt/format.h>

#include "utils/crc.hpp"

namespace kx::proto {
namespace {

constexpr std::size_t kMagicLength = 4;
// Version 0: length field at [6, 8) and module bytes before it, whatever the prefix.
constexpr std::size_t kV0MinHeader = 8;

FrameDialect make_dialect(MsgType type, std::uint8_t header_version, std::size_t header_length) {
    FrameDialect d{type, header_version, static_cast<std::uint8_t>(type), {'Q', 'N', 'L', 'R'}, 0, header_length};
    std::size_t n = kMagicLength;
    d.prefix_bytes[n++] = header_version;
    d.prefix_bytes[n++] = d.project_id;
    if (header_version == 2 && type != MsgType::Orvel) d.prefix_bytes[n++] = 0x01;
    d.prefix_length = static_cast<std::uint8_t>(n);
    return d;
}

std::uint16_t read_u16_le(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::uint16_t read_u16_be(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

}  // namespace

bool FrameDialect::can_delimit_frames() const {
    switch (header_version) {
        case 0: return header_length >= kV0MinHeader;
        case 1:
        case 2: return header_length >= prefix_length + 2u;
        default: return false;
    }
}

FrameDialect dialect_of(MsgType type) {
    switch (type) {
        case MsgType::Varnet: return make_dialect(type, 0, 0);
        case MsgType::Pelvor:
        case MsgType::Strenn:
        case MsgType::StrennV1_5:
        case MsgType::Quibbet:
        case MsgType::QuibbetV2: return make_dialect(type, 1, 8);
        case MsgType::Merrow: {
            FrameDialect d{type, 0, static_cast<std::uint8_t>(type), {'Q', 'n', 'L', 'V'}, 4, 8};
            return d;
        }
        case MsgType::Orvel: return make_dialect(type, 2, 11);
        case MsgType::Dornal:
        case MsgType::Kessa:
        case MsgType::VOK:
        case MsgType::Tindle:
        case MsgType::Pim:
        case MsgType::Lusk:
        case MsgType::Brannel:
        case MsgType::Zeph: return make_dialect(type, 2, 12);
    }
    // MsgType values come only from the enum's own codes.
    return make_dialect(MsgType::Varnet, 0, 0);
}

std::optional<FrameExtent> frame_extent(const FrameDialect& d, std::span<const std::uint8_t> buffer) {
    if (!d.can_delimit_frames() || buffer.size() < d.header_length) return std::nullopt;
    const std::size_t h = d.header_length;
    if (d.header_version == 0) {
        const std::size_t len = read_u16_be(buffer, 6);
        const std::size_t pad = (4 - (h + len) % 4) % 4;
        return FrameExtent{h + len + pad + 4, pad};
    }
    const std::size_t len = read_u16_le(buffer, d.prefix_length);
    return FrameExtent{h + len + 2, 0};
}

CrcCheck check_frame_crc(const FrameDialect& d, std::span<const std::uint8_t> frame) {
    const std::size_t covered = frame.size() - d.crc_size();
    if (d.header_version == 0) {
        const std::uint32_t stored = static_cast<std::uint32_t>(read_u16_be(frame, covered)) << 16 |
                                     read_u16_be(frame, covered + 2);
        const std::uint32_t calculated = utils::crc32_words(frame.first(covered));
        return {stored == calculated, stored, calculated};
    }
    const std::uint16_t stored = read_u16_le(frame, covered);
    const std::uint16_t calculated = utils::crc16_modbus(frame.first(covered));
    return {stored == calculated, stored, calculated};
}

std::span<const std::uint8_t> frame_payload(const FrameDialect& d, std::span<const std::uint8_t> frame,
                                            std::size_t padding) {
    const std::size_t end = frame.size() - d.crc_size() - padding;
    return frame.subspan(d.header_length, end - d.header_length);
}

std::optional<ModuleIds> frame_modules(const FrameDialect& d, std::span<const std::uint8_t> frame) {
    const std::size_t h = d.header_length;
    switch (d.header_version) {
        case 2: return ModuleIds{frame[h - 3], frame[h - 2]};
        case 0: return ModuleIds{frame[h - 3], frame[h - 4]};
        default: return std::nullopt;
    }
}

std::vector<std::uint8_t> encode_frame(const FrameDialect& d, ModuleIds modules, std::uint8_t extra_header_byte,
                                       std::span<const std::uint8_t> payload) {
    if (!d.can_delimit_frames())
        throw std::logic_error(fmt::format("no frame layout for {}", msg_type_name(d.type)));
    const auto len = static_cast<std::uint16_t>(payload.size());
    const auto prefix = d.header_prefix();
    std::vector<std::uint8_t> out;
    out.reserve(d.header_length + payload.size() + 3 + 4);
    out.insert(out.end(), prefix.begin(), prefix.end());
    if (d.header_version == 0) {
        out.resize(d.header_length, 0);
        out[4] = modules.destination;
        out[5] = modules.source;
        out[6] = static_cast<std::uint8_t>(len >> 8);
        out[7] = static_cast<std::uint8_t>(len);
        out.insert(out.end(), payload.begin(), payload.end());
        out.resize(out.size() + (4 - out.size() % 4) % 4, 0);
        const std::uint32_t crc = utils::crc32_words(out);
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(crc >> shift));
        return out;
    }
    out.push_back(static_cast<std::uint8_t>(len));
    out.push_back(static_cast<std::uint8_t>(len >> 8));
    if (d.header_version == 2) {
        out.push_back(modules.source);
        out.push_back(modules.destination);
        out.push_back(extra_header_byte);
    }
    out.insert(out.end(), payload.begin(), payload.end());
    const std::uint16_t crc = utils::crc16_modbus(out);
    out.push_back(static_cast<std::uint8_t>(crc));
    out.push_back(static_cast<std::uint8_t>(crc >> 8));
    return out;
}

}  // namespace kx::proto
