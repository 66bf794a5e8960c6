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
using kx::proto::ProtoError;
using kx::test::Bytes;
using kx::test::cat;
using kx::test::orvel_frame;

const Bytes kOrvelPrefix{81, 78, 76, 82, 2, 11};

class FrameScannerTest : public testing::Test {
protected:
    void feed(FrameScanner& s, const Bytes& chunk) { s.receive(chunk, handler); }
    void feed(const Bytes& chunk) { feed(scanner, chunk); }
    std::vector<std::string> errors_and_warnings() const { return log.messages(Level::Warn); }

    kx::test::LogCapture log;
    kx::test::LogCaptureScope scope{log};
    kx::test::RecordingHandler handler;
    FrameScanner scanner{dialect_of(MsgType::Orvel)};
    const Bytes frame1 = orvel_frame(2, 0, {0x08, 0x01});
    const Bytes frame2 = orvel_frame(0, 2, {0x08, 0x02, 0x10, 0x01});
};

TEST_F(FrameScannerTest, TwoFramesInOneChunkInOrder) {
    feed(cat({frame1, frame2}));
    ASSERT_EQ(handler.frames.size(), 2u);
    EXPECT_EQ(handler.frames[0], frame1);
    EXPECT_EQ(handler.frames[1], frame2);
    EXPECT_TRUE(scanner.buffered().empty());
    EXPECT_EQ(scanner.expected_length(), 0u);
    EXPECT_TRUE(errors_and_warnings().empty());
    EXPECT_EQ(log.count("parsing next message"), 1u);
}

class FrameSplit : public FrameScannerTest, public testing::WithParamInterface<std::size_t> {};

TEST_P(FrameSplit, CompletedBySecondChunk) {
    const std::size_t k = GetParam();
    feed(Bytes(frame1.begin(), frame1.begin() + static_cast<long>(k)));
    EXPECT_TRUE(handler.frames.empty());
    EXPECT_EQ(scanner.buffered().size(), k);
    if (k <= 11) {
        EXPECT_EQ(log.count(fmt::format("Buffer length: {}", k)), 1u);
        EXPECT_EQ(scanner.expected_length(), 0u);
    } else {
        EXPECT_EQ(log.count(fmt::format("Expected length: 15, buffer length: {}", k)), 1u);
        EXPECT_EQ(scanner.expected_length(), 15u);
    }
    feed(Bytes(frame1.begin() + static_cast<long>(k), frame1.end()));
    ASSERT_EQ(handler.frames.size(), 1u);
    EXPECT_EQ(handler.frames[0], frame1);
    EXPECT_TRUE(scanner.buffered().empty());
    EXPECT_TRUE(errors_and_warnings().empty());
}

INSTANTIATE_TEST_SUITE_P(EverySplitPoint, FrameSplit, testing::Range<std::size_t>(1, 15));

TEST_F(FrameScannerTest, JunkOnlyChunkEmptiesBufferAndLosesStraddlingPrefix) {
    Bytes junk(17, 0x55);
    junk.insert(junk.end(), frame1.begin(), frame1.begin() + 3);  // "QNL"
    feed(junk);
    const std::vector<std::string> expected{
        "Proto header is mismatch, drop the message, buffer: " + fmt::format("[{}]", fmt::join(junk, ", ")),
        "header_prefix: [81, 78, 76, 82, 2, 11]"};
    EXPECT_EQ(errors_and_warnings(), expected);
    EXPECT_TRUE(scanner.buffered().empty());
    feed(Bytes(frame1.begin() + 3, frame1.end()));
    EXPECT_TRUE(handler.frames.empty());
}

TEST_F(FrameScannerTest, Crc32MismatchOfMerrowFrame) {
    FrameScanner merrow(dialect_of(MsgType::Merrow));
    Bytes bad = kx::test::frame_of(MsgType::Merrow, 0, 2, {1, 2, 3, 4, 5});
    bad.back() ^= 0xFF;
    const std::uint32_t stored = static_cast<std::uint32_t>(bad[16]) << 24 | bad[17] << 16 | bad[18] << 8 | bad[19];
    feed(merrow, bad);
    EXPECT_EQ(log.count(fmt::format("CRC32 verification failed, expected: {:08X}, calculated: {:08X}", stored,
                                    kx::utils::crc32_words(std::span(bad).first(16)))),
              1u);
    EXPECT_EQ(log.count("CRC verification failed"), 1u);
    EXPECT_TRUE(handler.frames.empty());
}

TEST_F(FrameScannerTest, OverflowEmptiesBufferAndDropsChunk) {
    const Bytes big = orvel_frame(0, 2, Bytes(8179, 0));  // exactly 8192 bytes
    ASSERT_EQ(big.size(), kx::proto::BUFFER_MAX_SIZE);
    feed(Bytes(big.begin(), big.begin() + 8000));
    EXPECT_EQ(scanner.expected_length(), 8192u);
    feed(Bytes(500, 0));
    EXPECT_EQ(errors_and_warnings(), std::vector<std::string>{"Buffer is out of space. (BUFFER_MAX_SIZE = 8192)"});
    EXPECT_TRUE(scanner.buffered().empty());
    EXPECT_EQ(scanner.expected_length(), 0u);
    // A frame that fills the buffer exactly still completes.
    feed(Bytes(big.begin(), big.begin() + 8000));
    feed(Bytes(big.begin() + 8000, big.end()));
    ASSERT_EQ(handler.frames.size(), 1u);
    EXPECT_EQ(handler.frames[0], big);
}

TEST_F(FrameScannerTest, FrameLongerThanBufferNeverCompletes) {
    const Bytes huge = orvel_frame(0, 2, Bytes(9000, 7));
    for (std::size_t at = 0; at < huge.size(); at += 4096) {
        feed(Bytes(huge.begin() + static_cast<long>(at), huge.begin() + static_cast<long>(std::min(at + 4096, huge.size()))));
        EXPECT_LE(scanner.buffered().size(), kx::proto::BUFFER_MAX_SIZE);
    }
    EXPECT_TRUE(handler.frames.empty());
    EXPECT_EQ(log.count("Buffer is out of space. (BUFFER_MAX_SIZE = 8192)"), 1u);
}

TEST_F(FrameScannerTest, EmptyChunkOnlyLogs) {
    feed(Bytes(frame1.begin(), frame1.begin() + 4));
    feed(Bytes{});
    EXPECT_EQ(errors_and_warnings(), std::vector<std::string>{"Data should not be empty"});
    EXPECT_EQ(scanner.buffered().size(), 4u);
}

// A refused frame loses only its prefix: a frame inside its payload is found next.
TEST_F(FrameScannerTest, RefusedFrameDropsOnlyItsPrefix) {
    FrameScanner pelvor(dialect_of(MsgType::Pelvor));
    const Bytes inner = kx::test::frame_of(MsgType::Pelvor, 0, 0, {4, 5, 6});
    const Bytes outer = kx::test::frame_of(MsgType::Pelvor, 0, 0, inner);
    handler.refuse_with = ProtoError{ProtoError::UnknownProtoType{MsgType::Pelvor}};
    feed(pelvor, outer);
    ASSERT_EQ(handler.frames.size(), 2u);
    EXPECT_EQ(handler.frames[0], outer);
    EXPECT_EQ(handler.frames[1], inner);
    EXPECT_EQ(log.count("Failed to parse message, error: UnknownProtoType(Pelvor)"), 2u);
    EXPECT_TRUE(pelvor.buffered().empty());

    // Accepted, the outer frame is consumed whole.
    handler.frames.clear();
    handler.refuse_with.reset();
    feed(pelvor, outer);
    ASSERT_EQ(handler.frames.size(), 1u);
    EXPECT_EQ(handler.frames[0], outer);
}

TEST_F(FrameScannerTest, HundredsOfCorruptFramesInOneChunk) {
    Bytes bad = orvel_frame(2, 0, {});
    bad.back() ^= 0x10;
    Bytes chunk;
    for (int i = 0; i < 628; ++i) chunk.insert(chunk.end(), bad.begin(), bad.end());
    chunk.insert(chunk.end(), frame1.begin(), frame1.end());
    ASSERT_LE(chunk.size(), kx::proto::BUFFER_MAX_SIZE);
    feed(chunk);
    EXPECT_EQ(log.count("CRC verification failed"), 628u);
    ASSERT_EQ(handler.frames.size(), 1u);
    EXPECT_EQ(handler.frames[0], frame1);
}

TEST_F(FrameScannerTest, UnknownHeaderVersionIsReported) {
    kx::proto::FrameDialect odd = dialect_of(MsgType::Pim);
    odd.header_version = 3;
    odd.prefix_bytes[4] = 3;
    FrameScanner s(odd);
    feed(s, cat({Bytes(odd.header_prefix().begin(), odd.header_prefix().end()), Bytes(10, 0)}));
    EXPECT_EQ(log.count("Failed to parse message, error: UnsupportedHeaderVersion(Pim, 3)"), 1u);
    EXPECT_TRUE(handler.frames.empty());
}

}  // namespace
