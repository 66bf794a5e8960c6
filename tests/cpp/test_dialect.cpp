#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "proto/dialect.hpp"
#include "utils/crc.hpp"

namespace {

using kx::proto::dialect_of;
using kx::proto::FrameDialect;
using kx::proto::MsgType;
using Bytes = std::vector<std::uint8_t>;

// Varnet headers carry no length: such frames can be neither delimited nor written.
TEST(Dialect, TableOfAllFamilies) {
    const struct { MsgType type; std::uint8_t version; std::string_view prefix; std::size_t header_length; } rows[] = {
        {MsgType::Varnet, 0, {"QNLR\x00\x00", 6}, 0}, {MsgType::Pelvor, 1, "QNLR\x01\x01", 8},      {MsgType::Dornal, 2, "QNLR\x02\x02\x01", 12},
        {MsgType::Strenn, 1, "QNLR\x01\x03", 8},      {MsgType::StrennV1_5, 1, "QNLR\x01\x04", 8},  {MsgType::Quibbet, 1, "QNLR\x01\x05", 8},
        {MsgType::QuibbetV2, 1, "QNLR\x01\x06", 8},   {MsgType::Kessa, 2, "QNLR\x02\x07\x01", 12},  {MsgType::VOK, 2, "QNLR\x02\x08\x01", 12},
        {MsgType::Tindle, 2, "QNLR\x02\x09\x01", 12}, {MsgType::Merrow, 0, "QnLV", 8},              {MsgType::Orvel, 2, "QNLR\x02\x0B", 11},
        {MsgType::Pim, 2, "QNLR\x02\x0C\x01", 12},    {MsgType::Lusk, 2, "QNLR\x02\x0D\x01", 12},   {MsgType::Brannel, 2, "QNLR\x02\x0F\x01", 12},
        {MsgType::Zeph, 2, "QNLR\x02\x10\x01", 12}};
    for (const auto& row : rows) {
        const FrameDialect d = dialect_of(row.type);
        EXPECT_EQ(d.header_version, row.version);
        EXPECT_EQ(d.project_id, static_cast<std::uint8_t>(row.type));
        EXPECT_EQ(Bytes(d.header_prefix().begin(), d.header_prefix().end()), Bytes(row.prefix.begin(), row.prefix.end()));
        EXPECT_EQ(d.header_length, row.header_length);
        EXPECT_EQ(d.can_delimit_frames(), row.header_length != 0);
    }
    EXPECT_THROW(kx::proto::encode_frame(dialect_of(MsgType::Varnet), {0, 2}, 0, Bytes{1}), std::logic_error);
}

struct FrameCase { MsgType type; std::size_t payload, frame, padding; Bytes header; };  // header: modules 0 -> 2

class FrameLayout : public testing::TestWithParam<FrameCase> {};

// Header bytes, length and padding, payload, module ids and the CRC after them.
TEST_P(FrameLayout, EncodedFrameIsDelimitedAndChecked) {
    const FrameCase& c = GetParam();
    const FrameDialect d = dialect_of(c.type);
    Bytes payload(c.payload);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const Bytes frame = kx::proto::encode_frame(d, {0, 2}, 0, payload);
    ASSERT_EQ(frame.size(), c.frame);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + static_cast<long>(d.header_length)), c.header);
    // The CRC follows: CRC-32 big-endian after a version-0 header, else CRC-16 little-endian.
    const std::size_t n = d.header_version == 0 ? 4 : 2;
    const auto covered = std::span(frame).first(frame.size() - n);
    const std::uint32_t crc = n == 4 ? kx::utils::crc32_words(covered) : kx::utils::crc16_modbus(covered);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(frame[covered.size() + i], std::uint8_t(crc >> (n == 4 ? 24 - 8 * i : 8 * i)));

    const auto extent = kx::proto::frame_extent(d, frame);
    ASSERT_TRUE(extent);
    EXPECT_EQ(extent->expected_length, c.frame);
    EXPECT_EQ(extent->padding, c.padding);
    const auto got = kx::proto::frame_payload(d, frame, extent->padding);
    EXPECT_EQ(Bytes(got.begin(), got.end()), payload);
    const auto modules = kx::proto::frame_modules(d, frame);
    EXPECT_EQ(modules.has_value(), d.header_version != 1);
    EXPECT_TRUE(!modules || (modules->source == 0 && modules->destination == 2));
    // Not enough bytes for the header: no length yet.
    EXPECT_FALSE(kx::proto::frame_extent(d, std::span(frame).first(d.header_length - 1)));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FrameLayout,
    testing::Values(FrameCase{MsgType::Orvel, 0, 13, 0, {'Q', 'N', 'L', 'R', 2, 0x0B, 0, 0, 0, 2, 0}},
                    FrameCase{MsgType::Orvel, 8179, 8192, 0, {'Q', 'N', 'L', 'R', 2, 0x0B, 0xF3, 0x1F, 0, 2, 0}},
                    FrameCase{MsgType::Pelvor, 3, 13, 0, {'Q', 'N', 'L', 'R', 1, 1, 3, 0}},
                    FrameCase{MsgType::Dornal, 5, 19, 0, {'Q', 'N', 'L', 'R', 2, 2, 1, 5, 0, 0, 2, 0}},
                    FrameCase{MsgType::Merrow, 0, 12, 0, {'Q', 'n', 'L', 'V', 2, 0, 0, 0}},
                    FrameCase{MsgType::Merrow, 1, 16, 3, {'Q', 'n', 'L', 'V', 2, 0, 0, 1}},
                    FrameCase{MsgType::Merrow, 258, 272, 2, {'Q', 'n', 'L', 'V', 2, 0, 1, 2}}));

}  // namespace
