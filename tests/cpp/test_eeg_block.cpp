#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

#include "log_capture.hpp"
#include "proto/eeg_cap/msg_builder.hpp"

namespace {

using kx::proto::eeg_cap::decode_eeg_block;
using Bytes = std::vector<std::uint8_t>;

// The first channel's 24-bit value is exact in single precision; the others stay zero.
TEST(EegBlock, FirstValueExamples) {
    const struct { std::uint8_t group1[3]; std::uint32_t gain_code; float first_value; } cases[] = {
        {{0x7F, 0xFF, 0xFF}, 111, 187499.96875f}, {{0x7F, 0xFF, 0xFF}, 15, 4499999.5f}, {{0x80, 0x00, 0x00}, 111, -187500.0f},
        {{0x80, 0x00, 0x00}, 15, -4500000.0f},    {{0xFF, 0xFF, 0xFF}, 111, -0.022351742f}, {{0xFF, 0xFF, 0xFF}, 0, -0.08940697f}};
    for (const auto& c : cases) {
        Bytes block(108, 0);
        std::copy(std::begin(c.group1), std::end(c.group1), block.begin() + 3);
        std::vector<float> expected(32, 0.0f);
        expected[0] = c.first_value;
        EXPECT_EQ(decode_eeg_block(block, c.gain_code), expected);  // bit-exact, not approximate
    }
}

TEST(EegBlock, GainFactorFromCode) {
    const std::pair<std::uint32_t, float> cases[] = {{15, 1},  {31, 2},  {47, 4},  {63, 6},  {79, 8},
                                                     {95, 12}, {111, 24}, {0, 6}, {16, 6}, {14, 6},
                                                     {127, 6}, {4294967295u, 6}, {0x1000000F, 6}};
    for (const auto& [code, factor] : cases) EXPECT_EQ(kx::proto::eeg_cap::eeg_gain_factor(code), factor) << code;
}

// Group 9k + c holds frame k, channel c: value 8k + c - 1; groups 0, 9, 18, 27 are status words.
TEST(EegBlock, StatusGroupsAreSkippedAndChannelsLandInOrder) {
    for (std::size_t group = 0; group < 36; ++group) {
        Bytes block(108, 0);
        block[3 * group + 2] = 1;
        const auto values = decode_eeg_block(block, 15);
        const std::size_t frame = group / 9, channel = group % 9;
        for (std::size_t i = 0; i < 32; ++i)
            EXPECT_EQ(values[i] != 0.0f, channel != 0 && i == 8 * frame + channel - 1) << group << " at " << i;
    }
}

// Lengths that are not a multiple of three fail an earlier check than the others.
TEST(EegBlock, BadLengthGivesEmptyResultAndOneError) {
    kx::test::LogCapture log;
    kx::test::LogCaptureScope scope(log);
    const std::pair<std::size_t, std::uint32_t> cases[] = {{0, 46}, {105, 46}, {111, 46}, {107, 41}, {109, 41}, {1, 41}};
    for (const auto& [length, line] : cases) EXPECT_TRUE(decode_eeg_block(Bytes(length, 1), 111).empty());
    const auto records = log.records();
    ASSERT_EQ(records.size(), std::size(cases));
    for (std::size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(std::tie(records[i].level, records[i].message, records[i].target, records[i].file, records[i].line),
                  std::tuple(kx::log::Level::Error, "Invalid data length: " + std::to_string(cases[i].first),
                             "kx_proto_sdk::proto::eeg_cap::msg_builder", "src/proto/eeg_cap/msg_builder", cases[i].second));
}

}  // namespace
