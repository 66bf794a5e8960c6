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

class DialectTable : public testing::TestWithParam<DialectRow> {};

TEST_P(DialectTable, MatchesFamily) {
    const DialectRow& row = GetParam();
    const FrameDialect d = dialect_of(row.type);
    EXPECT_EQ(d.type, row.type);
    EXPECT_EQ(d.header_version, row.version);
    EXPECT_EQ(d.project_id, static_cast<std::uint8_t>(row.type));
    EXPECT_EQ(Bytes(d.header_prefix().begin(), d.header_prefix().end()), row.prefix);
    EXPECT_EQ(d.header_length, row.header_length);
}

INSTANTIATE_TEST_SUITE_P(
    AllFamilies, DialectTable,
    testing::Values(DialectRow{MsgType::Varnet, 0, {'Q', 'N', 'L', 'R', 0, 0}, 0},
                    DialectRow{MsgType::Pelvor, 1, {'Q', 'N', 'L', 'R', 1, 1}, 8},
                    DialectRow{MsgType::Dornal, 2, {'Q', 'N', 'L', 'R', 2, 2, 1}, 12},
                    DialectRow{MsgType::Strenn, 1, {'Q', 'N', 'L', 'R', 1, 3}, 8},
                    DialectRow{MsgType::StrennV1_5, 1, {'Q', 'N', 'L', 'R', 1, 4}, 8},
                    DialectRow{MsgType::Quibbet, 1, {'Q', 'N', 'L', 'R', 1, 5}, 8},
                    DialectRow{MsgType::QuibbetV2, 1, {'Q', 'N', 'L', 'R', 1, 6}, 8},
                    DialectRow{MsgType::Kessa, 2, {'Q', 'N', 'L', 'R', 2, 7, 1}, 12},
                    DialectRow{MsgType::VOK, 2, {'Q', 'N', 'L', 'R', 2, 8, 1}, 12},
                    DialectRow{MsgType::Tindle, 2, {'Q', 'N', 'L', 'R', 2, 9, 1}, 12},
                    DialectRow{MsgType::Merrow, 0, {'Q', 'n', 'L', 'V'}, 8},
                    DialectRow{MsgType::Orvel, 2, {'Q', 'N', 'L', 'R', 2, 0x0B}, 11},
                    DialectRow{MsgType::Pim, 2, {'Q', 'N', 'L', 'R', 2, 0x0C, 1}, 12},
                    DialectRow{MsgType::Lusk, 2, {'Q', 'N', 'L', 'R', 2, 0x0D, 1}, 12},
                    DialectRow{MsgType::Brannel, 2, {'Q', 'N', 'L', 'R', 2, 0x0F, 1}, 12},
                    DialectRow{MsgType::Zeph, 2, {'Q', 'N', 'L', 'R', 2, 0x10, 1}, 12}));

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
    const Bytes payload(258);
    const Bytes merrow = kx::proto::encode_frame(dialect_of(MsgType::Merrow), {0, 2}, 0, payload);
    EXPECT_EQ(merrow[6], 0x01);
    EXPECT_EQ(merrow[7], 0x02);
    const Bytes orvel = kx::proto::encode_frame(dialect_of(MsgType::Orvel), {0, 2}, 0, payload);
    EXPECT_EQ(orvel[6], 0x02);
    EXPECT_EQ(orvel[7], 0x01);
    const Bytes dornal = kx::proto::encode_frame(dialect_of(MsgType::Dornal), {0, 2}, 0, payload);
    EXPECT_EQ(dornal[7], 0x02);
    EXPECT_EQ(dornal[8], 0x01);
}

TEST(Dialect, OrvelHeaderLayoutAndCrcPlacement) {
    const Bytes frame = kx::proto::encode_frame(dialect_of(MsgType::Orvel), {2, 0}, 0, Bytes{0x08, 0x01});
    const Bytes head{'Q', 'N', 'L', 'R', 0x02, 0x0B, 0x02, 0x00, 0x02, 0x00, 0x00, 0x08, 0x01};
    ASSERT_EQ(frame.size(), 15u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 13), head);
    const std::uint16_t crc = kx::utils::crc16_modbus(head);
    EXPECT_EQ(frame[13], crc & 0xFF);
    EXPECT_EQ(frame[14], crc >> 8);
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

TEST(Dialect, CorruptedFrameFailsCrcWithBothValues) {
    for (MsgType type : {MsgType::Orvel, MsgType::Merrow, MsgType::Pelvor}) {
        const FrameDialect d = dialect_of(type);
        Bytes frame = kx::proto::encode_frame(d, {0, 2}, 0, Bytes{1, 2, 3});
        const auto good = kx::proto::check_frame_crc(d, frame);
        frame[d.header_length] ^= 0x40;
        const auto bad = kx::proto::check_frame_crc(d, frame);
        EXPECT_FALSE(bad.ok);
        EXPECT_EQ(bad.stored, good.stored);
        EXPECT_NE(bad.calculated, good.calculated);
    }
}

TEST(Dialect, VarnetCannotDelimitFrames) {
    const FrameDialect d = dialect_of(MsgType::Varnet);
    EXPECT_FALSE(d.can_delimit_frames());
    const Bytes bytes{'Q', 'N', 'L', 'R', 0, 0, 0, 4, 1, 2, 3, 4};
    EXPECT_FALSE(kx::proto::frame_extent(d, bytes));
    EXPECT_THROW(kx::proto::encode_frame(d, {0, 2}, 0, bytes), std::logic_error);
}

}  // namespace
