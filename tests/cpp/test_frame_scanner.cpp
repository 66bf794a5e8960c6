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
using kx::test::orvel_frame;

Bytes slice(const Bytes& b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(std::min(to, b.size())));
}

class FrameScannerTest : public testing::Test {
protected:
    void feed(FrameScanner& s, const Bytes& chunk) { s.receive(chunk, handler); }
    void feed(const Bytes& chunk) { feed(scanner, chunk); }

    kx::test::LogCapture log;
    kx::test::LogCaptureScope scope{log};
    kx::test::RecordingHandler handler;
    FrameScanner scanner{dialect_of(MsgType::Orvel)};
    const Bytes frame1 = orvel_frame(2, 0, {0x08, 0x01});  // 15 bytes, header 11
    const Bytes frame2 = orvel_frame(0, 2, {0x08, 0x02, 0x10, 0x01});
};

class FrameSplit : public FrameScannerTest, public testing::WithParamInterface<std::size_t> {};

// Up to the header length a chunk only waits; past it the frame's length is known.
TEST_P(FrameSplit, CompletedBySecondChunkWithTheNextFrame) {
    const std::size_t k = GetParam();
    feed(slice(frame1, 0, k));
    EXPECT_TRUE(handler.frames.empty());
    EXPECT_EQ(scanner.buffered().size(), k);
    EXPECT_EQ(scanner.expected_length(), k <= 11 ? 0u : 15u);
    EXPECT_EQ(log.count(k <= 11 ? fmt::format("Buffer length: {}", k) : fmt::format("Expected length: 15, buffer length: {}", k)), 1u);
    feed(cat({slice(frame1, k, frame1.size()), frame2}));
    EXPECT_EQ(handler.frames, (std::vector<Bytes>{frame1, frame2}));
    EXPECT_TRUE(scanner.buffered().empty());
    EXPECT_EQ(scanner.expected_length(), 0u);
    EXPECT_TRUE(log.messages(Level::Warn).empty());
    EXPECT_EQ(log.count("parsing next message"), 1u);
}

INSTANTIATE_TEST_SUITE_P(EverySplitPoint, FrameSplit, testing::Range<std::size_t>(1, 15));

TEST_F(FrameScannerTest, Crc32MismatchOfMerrowFrame) {
    FrameScanner merrow(dialect_of(MsgType::Merrow));
    Bytes bad = kx::test::frame_of(MsgType::Merrow, 0, 2, {1, 2, 3, 4, 5});
    bad[16] = bad[16] ? 0 : 1;  // one of the two CRCs begins with a zero byte
    const std::uint32_t stored = static_cast<std::uint32_t>(bad[16]) << 24 | bad[17] << 16 | bad[18] << 8 | bad[19];
    feed(merrow, bad);
    const auto expected = fmt::format("CRC32 verification failed, expected: {:08X}, calculated: {:08X}", stored,
                                      kx::utils::crc32_words(std::span(bad).first(16)));
    EXPECT_EQ(log.messages(Level::Warn), (std::vector<std::string>{expected, "CRC verification failed"}));
    EXPECT_TRUE(handler.frames.empty());
}

// The buffer holds 8192 bytes: a chunk that would pass that empties it and is dropped.
TEST_F(FrameScannerTest, FrameThatFillsTheBufferExactlyCompletes) {
    const Bytes big = orvel_frame(0, 2, Bytes(8179, 0));
    ASSERT_EQ(big.size(), kx::proto::BUFFER_MAX_SIZE);
    feed(slice(big, 0, 8000));
    feed(Bytes(193, 0));
    EXPECT_EQ(log.messages(Level::Warn), std::vector<std::string>{"Buffer is out of space. (BUFFER_MAX_SIZE = 8192)"});
    EXPECT_TRUE(scanner.buffered().empty());
    EXPECT_EQ(scanner.expected_length(), 0u);
    feed(slice(big, 0, 8000));
    feed(slice(big, 8000, big.size()));
    EXPECT_EQ(handler.frames, std::vector<Bytes>{big});
}

// A refused frame loses only its prefix: a frame inside its payload is found next.
TEST_F(FrameScannerTest, RefusedFrameDropsOnlyItsPrefix) {
    FrameScanner pelvor(dialect_of(MsgType::Pelvor));
    const Bytes inner = kx::test::frame_of(MsgType::Pelvor, 0, 0, {4, 5, 6});
    const Bytes outer = kx::test::frame_of(MsgType::Pelvor, 0, 0, inner);
    handler.refuse_with = kx::proto::ProtoError{kx::proto::ProtoError::UnknownProtoType{MsgType::Pelvor}};
    feed(pelvor, outer);
    EXPECT_EQ(handler.frames, (std::vector<Bytes>{outer, inner}));
    EXPECT_EQ(log.count("Failed to parse message, error: UnknownProtoType(Pelvor)"), 2u);
    EXPECT_TRUE(pelvor.buffered().empty());
    handler.frames.clear();
    handler.refuse_with.reset();
    feed(pelvor, outer);  // accepted, the outer frame is consumed whole
    EXPECT_EQ(handler.frames, std::vector<Bytes>{outer});
}

TEST_F(FrameScannerTest, HundredsOfCorruptFramesInOneChunk) {
    Bytes bad = orvel_frame(2, 0, {});
    bad.back() ^= 0x10;
    Bytes chunk;
    for (int i = 0; i < 628; ++i) chunk = cat({chunk, bad});
    feed(cat({chunk, frame1}));
    EXPECT_EQ(log.count("CRC verification failed"), 628u);
    EXPECT_EQ(handler.frames, std::vector<Bytes>{frame1});
}

}  // namespace
