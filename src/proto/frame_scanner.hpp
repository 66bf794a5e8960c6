// Cuts the frames of one dialect out of a byte stream received in chunks of any
// size: prefix search, length and CRC checks, resynchronisation after bad frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "proto/dialect.hpp"
#include "proto/proto_error.hpp"

namespace kx::proto {

inline constexpr std::size_t BUFFER_MAX_SIZE = 8192;

// Log target of the parser's records, the scanner's among them: one name to
// filter the whole stream parsing by.
inline constexpr const char* kMsgParserTarget = "kx_proto_sdk::proto::msg_parser";

// One CRC-checked frame, valid only during the call that receives it.
struct CheckedFrame {
    std::span<const std::uint8_t> bytes;  // the whole frame
    std::size_t padding;
};

class FrameHandler {
public:
    // Takes a CRC-checked frame. An error drops the frame's prefix and resynchronises
    // the stream; nullopt consumes the whole frame.
    virtual std::optional<ProtoError> on_frame(const CheckedFrame& frame) = 0;

protected:
    ~FrameHandler() = default;
};

class FrameScanner {
public:
    explicit FrameScanner(const FrameDialect& dialect);

    // Appends the chunk and hands every complete, CRC-valid frame to `handler`, in order.
    // Failures are logged and resolved by dropping bytes; the buffer never exceeds
    // BUFFER_MAX_SIZE.
    void receive(std::span<const std::uint8_t> data, FrameHandler& handler);

    const FrameDialect& dialect() const { return dialect_; }
    std::span<const std::uint8_t> buffered() const { return {storage_.data() + begin_, end_ - begin_}; }
    std::size_t expected_length() const { return expected_length_; }
    std::size_t padding() const { return padding_; }

private:
    std::size_t size() const { return end_ - begin_; }
    void consume(std::size_t n);
    void clear();
    std::optional<std::size_t> find_prefix() const;
    // After a failed frame: drops its prefix and moves to the next one. False (buffer
    // emptied) when no prefix is left.
    bool resync();
    ProtoError undelimitable_error() const;
    void scan(FrameHandler& handler);

    FrameDialect dialect_;
    // Fixed storage: live bytes are [begin_, end_); the front is dropped by moving
    // begin_ and compacted only before an append, so no byte is moved twice per chunk.
    std::vector<std::uint8_t> storage_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::size_t expected_length_ = 0;  // 0: no frame in progress
    std::size_t padding_ = 0;
};

}  // namespace kx::proto
