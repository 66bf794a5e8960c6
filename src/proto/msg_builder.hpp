// Writer of command frames for one device family.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "proto/dialect.hpp"

namespace kx::proto {

class MsgBuilder {
public:
    // Logs the builder's dialect at Debug.
    explicit MsgBuilder(MsgType type);

    MsgType builder_type() const { return dialect_.type; }
    std::uint8_t header_version() const { return dialect_.header_version; }
    std::span<const std::uint8_t> header_prefix() const { return dialect_.header_prefix(); }
    std::uint8_t extra_header_byte() const { return extra_header_byte_; }

    // Prefix, length, module bytes and extra byte (version 2), payload, CRC.
    std::vector<std::uint8_t> build_frame(ModuleIds modules, std::span<const std::uint8_t> payload) const;

private:
    FrameDialect dialect_;
    std::uint8_t extra_header_byte_ = 0;
};

}  // namespace kx::proto
