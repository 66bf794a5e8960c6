#include "proto/frame_scanner.hpp"

#include <algorithm>
#include <cstring>

#include "utils/byte_list.hpp"
#include "utils/log.hpp"

namespace kx::proto {
FrameScanner::FrameScanner(const FrameDialect& dialect) : dialect_(dialect), storage_(BUFFER_MAX_SIZE) {}

void FrameScanner::consume(std::size_t n) {
    begin_ += n;
    if (begin_ == end_) begin_ = end_ = 0;
}

void FrameScanner::clear() {
    begin_ = end_ = 0;
    expected_length_ = 0;
    padding_ = 0;
}

std::optional<std::size_t> FrameScanner::find_prefix() const {
    const auto prefix = dialect_.header_prefix();
    const std::uint8_t* base = storage_.data() + begin_;
    const std::size_t n = size();
    if (n < prefix.size()) return std::nullopt;
    const std::size_t last = n - prefix.size();
    std::size_t at = 0;
    while (at <= last) {
        const void* hit = std::memchr(base + at, prefix[0], last - at + 1);
        if (hit == nullptr) return std::nullopt;
        at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - base);
        if (std::memcmp(base + at, prefix.data(), prefix.size()) == 0) return at;
        ++at;
    }
    return std::nullopt;
}

void FrameScanner::receive(std::span<const std::uint8_t> data, FrameHandler& handler) {
    if (data.empty()) {
        KX_ERROR(kMsgParserTarget, "Data should not be empty");
        return;
    }
    if (size() + data.size() > BUFFER_MAX_SIZE) {
        clear();
        KX_ERROR(kMsgParserTarget, "Buffer is out of space. (BUFFER_MAX_SIZE = {})", BUFFER_MAX_SIZE);
        return;
    }
    if (end_ + data.size() > storage_.size()) {
        std::memmove(storage_.data(), storage_.data() + begin_, size());
        end_ -= begin_;
        begin_ = 0;
    }
    std::memcpy(storage_.data() + end_, data.data(), data.size());
    end_ += data.size();
    scan(handler);
}

ProtoError FrameScanner::undelimitable_error() const {
    if (dialect_.header_version > 2)
        return ProtoError{ProtoError::UnsupportedHeaderVersion{dialect_.type, dialect_.header_version}};
    return ProtoError{ProtoError::UnknownProtoType{dialect_.type}};
}

bool FrameScanner::resync() {
    consume(std::min(size(), dialect_.header_prefix().size()));
    expected_length_ = 0;
    padding_ = 0;
    const auto at = find_prefix();
    if (!at) {
        clear();
        return false;
    }
    consume(*at);
    KX_TRACE(kMsgParserTarget, "parsing next message");
    return true;
}

void FrameScanner::scan(FrameHandler& handler) {
    const std::size_t h = dialect_.header_length;
    // One iteration per frame or dropped prefix: the stack never grows with the input.
    for (;;) {
        if (size() <= h) {
            KX_TRACE(kMsgParserTarget, "Buffer length: {}", size());
            return;
        }
        if (expected_length_ == 0) {
            const auto at = find_prefix();
            if (!at) {
                KX_WARN(kMsgParserTarget, "Proto header is mismatch, drop the message, buffer: {}",
                        utils::ByteList{buffered()});
                KX_WARN(kMsgParserTarget, "header_prefix: {}", utils::ByteList{dialect_.header_prefix()});
                clear();
                return;
            }
            if (*at > 0) {
                KX_WARN(kMsgParserTarget, "Found header at index: {}, unexpected_data: {}", *at,
                        utils::ByteList{buffered().first(*at)});
                consume(*at);
            }
            if (size() < h) {
                KX_ERROR(kMsgParserTarget, "Failed to calculate expected length, buffer: {}",
                         utils::ByteList{buffered()});
                if (!resync()) return;
                continue;
            }
            const auto extent = frame_extent(dialect_, buffered());
            if (!extent) {
                // No length field to delimit this family's frames (Varnet): the frame
                // is reported as not decodable and the stream moves past its prefix.
                KX_ERROR(kMsgParserTarget, "Failed to parse message, error: {}", undelimitable_error());
                if (!resync()) return;
                continue;
            }
            expected_length_ = extent->expected_length;
            padding_ = extent->padding;
        }
        if (expected_length_ > size()) {
            KX_TRACE(kMsgParserTarget, "Expected length: {}, buffer length: {}", expected_length_, size());
            return;
        }

        const CheckedFrame frame{buffered().first(expected_length_), padding_};
        const CrcCheck crc = check_frame_crc(dialect_, frame.bytes);
        std::optional<ProtoError> error;
        if (!crc.ok) {
            if (dialect_.header_version == 0)
                KX_ERROR(kMsgParserTarget, "CRC32 verification failed, expected: {:08X}, calculated: {:08X}",
                         crc.stored, crc.calculated);
            else
                KX_ERROR(kMsgParserTarget, "CRC16 verification failed, expected: {:04X}, calculated: {:04X}",
                         crc.stored, crc.calculated);
            KX_ERROR(kMsgParserTarget, "CRC verification failed");
        } else {
            KX_TRACE(kMsgParserTarget, "CRC verification passed, buffer: {}", utils::ByteList{frame.bytes});
            error = handler.on_frame(frame);
            if (error) KX_ERROR(kMsgParserTarget, "Failed to parse message, error: {}", *error);
        }
        if (!crc.ok || error) {
            if (!resync()) return;
            continue;
        }
        consume(expected_length_);
        expected_length_ = 0;
        padding_ = 0;
        if (!find_prefix()) return;
        KX_TRACE(kMsgParserTarget, "parsing next message");
    }
}

}  // namespace kx::proto
