// Frame scanning at its boundaries; the log texts of each kind of input are
// checked through MessageParser in tests/python/test_msg_parser.py.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "frame_test_support.hpp"
#include "log_capture.hpp"
#include "proto/frame_scanner.hpp"
#include "utils/crc.hpp"

namespace {

using kx::log::Level;
using kx::proto::dialect_of;
using kx::proto::FrameScanner;
using kx::proto::MsgType;
using kx::test::Bytes;
using kx::test::cat;
using kx::test::frame_of;

class FrameScannerTest : public kx::test::LogCapturingTest {
protected:
    void feed(FrameScanner& s, std::span<const std::uint8_t> chunk) { s.receive(chunk, handler); }
    void feed(std::span<const std::uint8_t> chunk) { feed(scanner, chunk); }

    kx::test::RecordingHandler handler;
    FrameScanner scanner{dialect_of(MsgType::Orvel)};
    const Bytes frame1 = frame_of(MsgType::Orvel, 2, 0, {0x08, 0x01});  // 15 bytes, header 11
    const Bytes frame2 = frame_of(MsgType::Orvel, 0, 2, {0x08, 0x02, 0x10, 0x01});
};

class FrameSplit : public FrameScannerTest, public testing::WithParamInterface<std::size_t> {};

// Up to the header length a chunk only waits; past it the frame's length is known.
TEST_P(FrameSplit, CompletedBySecondChunkWithTheNextFrame) {
    const std::size_t k = GetParam();
    feed(std::span(frame1).first(k));
    EXPECT_TRUE(handler.frames.empty());
    EXPECT_EQ(scanner.buffered().size(), k);
    EXPECT_EQ(scanner.expected_length(), k <= 11 ? 0u : 15u);
    EXPECT_EQ(log.count(k <= 11 ? fmt::format("Buffer length: {}", k) : fmt::format("Expected length: 15, buffer length: {}", k)), 1u);
    feed(cat({Bytes(frame1.begin() + static_cast<long>(k), frame1.end()), frame2}));
    EXPECT_EQ(handler.frames, (std::vector<Bytes>{frame1, frame2}));
    EXPECT_TRUE(scanner.buffered().empty());
    EXPECT_EQ(scanner.expected_length(), 0u);
    EXPECT_TRUE(log.messages(Level::Warn).empty());
    EXPECT_EQ(log.count("parsing next message"), 1u);
}

INSTANTIATE_TEST_SUITE_P(EverySplitPoint, FrameSplit, testing::Range<std::size_t>(1, 15));

// Each corrupt frame in a chunk is reported and skipped; version 0 frames carry a CRC-32.
TEST_F(FrameScannerTest, HundredsOfCorruptMerrowFramesInOneChunk) {
    FrameScanner merrow(dialect_of(MsgType::Merrow));
    const Bytes good = frame_of(MsgType::Merrow, 0, 2, {1, 2, 3, 4, 5});
    Bytes bad = good, chunk;
    bad[16] = bad[16] ? 0 : 1;  // one of the two CRCs begins with a zero byte
    const std::uint32_t stored = static_cast<std::uint32_t>(bad[16]) << 24 | bad[17] << 16 | bad[18] << 8 | bad[19];
    const auto expected = fmt::format("CRC32 verification failed, expected: {:08X}, calculated: {:08X}", stored,
                                      kx::utils::crc32_words(std::span(bad).first(16)));
    std::vector<std::string> warnings;
    for (int i = 0; i < 400; ++i) {
        chunk = cat({chunk, bad});
        warnings.insert(warnings.end(), {expected, "CRC verification failed"});
    }
    feed(merrow, cat({chunk, good}));  // 8020 bytes: within the buffer
    EXPECT_EQ(log.messages(Level::Warn), warnings);
    EXPECT_EQ(handler.frames, std::vector<Bytes>{good});
}

// The buffer holds 8192 bytes: a chunk that would pass that empties it and is dropped,
// so the same frame sent again completes.
TEST_F(FrameScannerTest, FrameThatFillsTheBufferExactlyCompletes) {
    const Bytes big = frame_of(MsgType::Orvel, 0, 2, Bytes(8179, 0));
    ASSERT_EQ(big.size(), kx::proto::BUFFER_MAX_SIZE);
    feed(std::span(big).first(8000));
    feed(Bytes(193, 0));
    EXPECT_EQ(log.messages(Level::Warn), std::vector<std::string>{"Buffer is out of space. (BUFFER_MAX_SIZE = 8192)"});
    feed(std::span(big).first(8000));
    feed(std::span(big).subspan(8000));
    EXPECT_EQ(handler.frames, std::vector<Bytes>{big});
}

// A refused frame loses only its prefix: a frame inside its payload is found next.
TEST_F(FrameScannerTest, RefusedFrameDropsOnlyItsPrefix) {
    FrameScanner pelvor(dialect_of(MsgType::Pelvor));
    const Bytes inner = frame_of(MsgType::Pelvor, 0, 0, {4, 5, 6});
    const Bytes outer = frame_of(MsgType::Pelvor, 0, 0, inner);
    handler.refuse_with = kx::proto::ProtoError{kx::proto::ProtoError::UnknownProtoType{MsgType::Pelvor}};
    feed(pelvor, outer);
    EXPECT_EQ(handler.frames, (std::vector<Bytes>{outer, inner}));
    EXPECT_TRUE(pelvor.buffered().empty());
    handler.frames.clear();
    handler.refuse_with.reset();
    feed(pelvor, outer);  // accepted, the outer frame is consumed whole
    EXPECT_EQ(handler.frames, std::vector<Bytes>{outer});
}

}  // namespace
