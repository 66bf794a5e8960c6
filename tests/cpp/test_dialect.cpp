#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "proto/dialect.hpp"
#include "utils/crc.hpp"

namespace {

using kx::proto::dialect_of;
using kx::proto::FrameDialect;
using kx::proto::ModuleIds;
using kx::proto::MsgType;
using Bytes = std::vector<std::uint8_t>;

struct DialectRow {
    MsgType type;
    std::uint8_t version;
    Bytes prefix;
    std::size_t header_length;
};

TEST(Dialect, TableOfAllFamilies) {
    const DialectRow rows[] = {
        {MsgType::Varnet, 0, {'Q', 'N', 'L', 'R', 0, 0}, 0},
        {MsgType::Pelvor, 1, {'Q', 'N', 'L', 'R', 1, 1}, 8},
        {MsgType::Dornal, 2, {'Q', 'N', 'L', 'R', 2, 2, 1}, 12},
        {MsgType::Strenn, 1, {'Q', 'N', 'L', 'R', 1, 3}, 8},
        {MsgType::StrennV1_5, 1, {'Q', 'N', 'L', 'R', 1, 4}, 8},
        {MsgType::Quibbet, 1, {'Q', 'N', 'L', 'R', 1, 5}, 8},
        {MsgType::QuibbetV2, 1, {'Q', 'N', 'L', 'R', 1, 6}, 8},
        {MsgType::Kessa, 2, {'Q', 'N', 'L', 'R', 2, 7, 1}, 12},
        {MsgType::VOK, 2, {'Q', 'N', 'L', 'R', 2, 8, 1}, 12},
        {MsgType::Tindle, 2, {'Q', 'N', 'L', 'R', 2, 9, 1}, 12},
        {MsgType::Merrow, 0, {'Q', 'n', 'L', 'V'}, 8},
        {MsgType::Orvel, 2, {'Q', 'N', 'L', 'R', 2, 0x0B}, 11},
        {MsgType::Pim, 2, {'Q', 'N', 'L', 'R', 2, 0x0C, 1}, 12},
        {MsgType::Lusk, 2, {'Q', 'N', 'L', 'R', 2, 0x0D, 1}, 12},
        {MsgType::Brannel, 2, {'Q', 'N', 'L', 'R', 2, 0x0F, 1}, 12},
        {MsgType::Zeph, 2, {'Q', 'N', 'L', 'R', 2, 0x10, 1}, 12}};
    for (const auto& row : rows) {
        const FrameDialect d = dialect_of(row.type);
        EXPECT_EQ(d.type, row.type);
        EXPECT_EQ(d.header_version, row.version);
        EXPECT_EQ(d.project_id, static_cast<std::uint8_t>(row.type));
        EXPECT_EQ(Bytes(d.header_prefix().begin(), d.header_prefix().end()), row.prefix);
        EXPECT_EQ(d.header_length, row.header_length);
    }
}

struct SizeCase {
    MsgType type;
    std::size_t payload;
    std::size_t frame;
    std::size_t padding;
};

class FrameSize : public testing::TestWithParam<SizeCase> {};

TEST_P(FrameSize, EncodedFrameIsDelimitedAndChecked) {
    const SizeCase& c = GetParam();
    const FrameDialect d = dialect_of(c.type);
    Bytes payload(c.payload);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const Bytes frame = kx::proto::encode_frame(d, ModuleIds{0, 2}, 0, payload);
    ASSERT_EQ(frame.size(), c.frame);

    const auto extent = kx::proto::frame_extent(d, frame);
    ASSERT_TRUE(extent);
    EXPECT_EQ(extent->expected_length, c.frame);
    EXPECT_EQ(extent->padding, c.padding);
    EXPECT_TRUE(kx::proto::check_frame_crc(d, frame).ok);
    const auto got = kx::proto::frame_payload(d, frame, extent->padding);
    EXPECT_EQ(Bytes(got.begin(), got.end()), payload);
    const auto modules = kx::proto::frame_modules(d, frame);
    if (d.header_version == 1) {
        EXPECT_FALSE(modules);
    } else {
        ASSERT_TRUE(modules);
        EXPECT_EQ(modules->source, 0);
        EXPECT_EQ(modules->destination, 2);
    }
    // Not enough bytes for the header: no length yet.
    EXPECT_FALSE(kx::proto::frame_extent(d, std::span(frame).first(d.header_length - 1)));
}

INSTANTIATE_TEST_SUITE_P(Examples, FrameSize,
                         testing::Values(SizeCase{MsgType::Orvel, 0, 13, 0}, SizeCase{MsgType::Pelvor, 3, 13, 0},
                                         SizeCase{MsgType::Merrow, 0, 12, 0}, SizeCase{MsgType::Merrow, 1, 16, 3},
                                         SizeCase{MsgType::Merrow, 4, 16, 0}, SizeCase{MsgType::Merrow, 258, 272, 2},
                                         SizeCase{MsgType::Dornal, 5, 19, 0}, SizeCase{MsgType::Zeph, 300, 314, 0},
                                         SizeCase{MsgType::Orvel, 8179, 8192, 0}));

TEST(Dialect, LengthFieldByteOrder) {
    // Big-endian in version-0 headers, little-endian otherwise.
    const auto length_bytes = [](MsgType type, std::size_t at) {
        const Bytes f = kx::proto::encode_frame(dialect_of(type), {0, 2}, 0, Bytes(258));
        return Bytes{f[at], f[at + 1]};
    };
    EXPECT_EQ(length_bytes(MsgType::Merrow, 6), (Bytes{1, 2}));
    EXPECT_EQ(length_bytes(MsgType::Orvel, 6), (Bytes{2, 1}));
    EXPECT_EQ(length_bytes(MsgType::Dornal, 7), (Bytes{2, 1}));
}

TEST(Dialect, MerrowModuleBytesAndBigEndianCrc) {
    const FrameDialect d = dialect_of(MsgType::Merrow);
    const Bytes frame = kx::proto::encode_frame(d, {0, 2}, 0, Bytes{9});
    // Destination before source in version-0 headers.
    EXPECT_EQ(frame[4], 2);
    EXPECT_EQ(frame[5], 0);
    const std::uint32_t crc = kx::utils::crc32_words(std::span(frame).first(12));
    EXPECT_EQ(frame[12], crc >> 24);
    EXPECT_EQ(frame[15], crc & 0xFF);
}

TEST(Dialect, VarnetCannotDelimitFrames) {
    const FrameDialect d = dialect_of(MsgType::Varnet);
    EXPECT_FALSE(d.can_delimit_frames());
    const Bytes bytes{'Q', 'N', 'L', 'R', 0, 0, 0, 4, 1, 2, 3, 4};
    EXPECT_FALSE(kx::proto::frame_extent(d, bytes));
    EXPECT_THROW(kx::proto::encode_frame(d, {0, 2}, 0, bytes), std::logic_error);
}

}  // namespace
