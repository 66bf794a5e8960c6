#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "log_capture.hpp"
#include "proto/eeg_cap/msg_builder.hpp"

namespace {

using kx::proto::eeg_cap::decode_eeg_block;
using Bytes = std::vector<std::uint8_t>;

Bytes block_with_group1(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    Bytes block(108, 0);
    block[3] = b0;
    block[4] = b1;
    block[5] = b2;
    return block;
}

struct ValueCase {
    Bytes group1;
    std::uint32_t gain_code;
    float first_value;
};

class EegFirstValue : public testing::TestWithParam<ValueCase> {};

TEST_P(EegFirstValue, ExactInSinglePrecision) {
    const auto& c = GetParam();
    const auto values = decode_eeg_block(block_with_group1(c.group1[0], c.group1[1], c.group1[2]), c.gain_code);
    ASSERT_EQ(values.size(), 32u);
    EXPECT_EQ(values[0], c.first_value);  // bit-exact, not approximate
    for (std::size_t i = 1; i < values.size(); ++i) EXPECT_EQ(values[i], 0.0f);
}

INSTANTIATE_TEST_SUITE_P(Examples, EegFirstValue,
                         testing::Values(ValueCase{{0x7F, 0xFF, 0xFF}, 111, 187499.96875f},
                                         ValueCase{{0x7F, 0xFF, 0xFF}, 15, 4499999.5f},
                                         ValueCase{{0x80, 0x00, 0x00}, 111, -187500.0f},
                                         ValueCase{{0x80, 0x00, 0x00}, 15, -4500000.0f},
                                         ValueCase{{0xFF, 0xFF, 0xFF}, 111, -0.022351742f},
                                         ValueCase{{0xFF, 0xFF, 0xFF}, 63, -0.08940697f},
                                         ValueCase{{0xFF, 0xFF, 0xFF}, 0, -0.08940697f}));

struct GainCase {
    std::uint32_t code;
    float factor;
};

class GainFactor : public testing::TestWithParam<GainCase> {};

TEST_P(GainFactor, FromCode) { EXPECT_EQ(kx::proto::eeg_cap::eeg_gain_factor(GetParam().code), GetParam().factor); }

INSTANTIATE_TEST_SUITE_P(Table, GainFactor,
                         testing::Values(GainCase{15, 1}, GainCase{31, 2}, GainCase{47, 4}, GainCase{63, 6},
                                         GainCase{79, 8}, GainCase{95, 12}, GainCase{111, 24}, GainCase{0, 6},
                                         GainCase{16, 6}, GainCase{14, 6}, GainCase{127, 6},
                                         GainCase{4294967295u, 6}, GainCase{0x1000000F, 6}));

TEST(EegBlock, ZeroBlockIsZeroForEveryGain) {
    for (std::uint32_t gain : {0u, 15u, 47u, 111u, 200u}) {
        const auto values = decode_eeg_block(Bytes(108, 0), gain);
        EXPECT_EQ(values, std::vector<float>(32, 0.0f));
    }
}

TEST(EegBlock, StatusGroupsAreSkippedAndChannelsLandInOrder) {
    Bytes block(108, 0);
    for (std::size_t status : {0u, 27u, 54u, 81u})
        for (std::size_t k = 0; k < 3; ++k) block[status + k] = 0x7F;
    EXPECT_EQ(decode_eeg_block(block, 15), std::vector<float>(32, 0.0f));

    // Group 9k + c holds frame k, channel c: value index 8k + c - 1.
    for (std::size_t frame = 0; frame < 4; ++frame) {
        for (std::size_t channel = 1; channel <= 8; ++channel) {
            Bytes one(108, 0);
            one[3 * (9 * frame + channel) + 2] = 1;
            const auto values = decode_eeg_block(one, 15);
            for (std::size_t i = 0; i < 32; ++i)
                EXPECT_EQ(values[i] != 0.0f, i == 8 * frame + channel - 1) << frame << "/" << channel << " at " << i;
        }
    }
}

struct LengthCase {
    std::size_t length;
    std::uint32_t line;
};

class BadLength : public testing::TestWithParam<LengthCase> {};

TEST_P(BadLength, EmptyResultAndOneError) {
    kx::test::LogCapture log;
    kx::test::LogCaptureScope scope(log);
    const auto& c = GetParam();
    EXPECT_TRUE(decode_eeg_block(Bytes(c.length, 1), 111).empty());
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, kx::log::Level::Error);
    EXPECT_EQ(records[0].message, "Invalid data length: " + std::to_string(c.length));
    EXPECT_EQ(records[0].target, "kx_proto_sdk::proto::eeg_cap::msg_builder");
    EXPECT_EQ(records[0].file, "src/proto/eeg_cap/msg_builder");
    EXPECT_EQ(records[0].line, c.line);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BadLength,
                         testing::Values(LengthCase{0, 46}, LengthCase{105, 46}, LengthCase{111, 46},
                                         LengthCase{107, 41}, LengthCase{109, 41}, LengthCase{1, 41}));

}  // namespace
