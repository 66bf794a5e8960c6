#include "data_handler/eeg_buffer.hpp"

#include <atomic>
#include <numeric>
#include <thread>

#include <gtest/gtest.h>

#include "eeg_test_support.hpp"

using kx::data_handler::EegConfigCodes;
using kx::data_handler::EegState;
using kx::test::eeg_response;
using kx::test::timestamps_of;

namespace {

std::vector<std::uint32_t> all_timestamps(EegState& state) {
    auto taken = state.take_newest(SIZE_MAX, false);
    return timestamps_of(taken.records);
}

}  // namespace

TEST(EegState, ChangedConfigurationEmptiesBufferBeforeItsOwnSamples) {
    EegState state;
    state.apply(eeg_response(std::nullopt, {1, 2, 3}));
    state.apply(eeg_response(EegConfigCodes{1, 111, 0}, {10, 11}));
    EXPECT_EQ(state.config(), (EegConfigCodes{1, 111, 0}));
    EXPECT_EQ(all_timestamps(state), (std::vector<std::uint32_t>{10, 11}));
}

TEST(EegState, EqualConfigurationKeepsBuffer) {
    EegState state;
    state.apply(eeg_response(EegConfigCodes{0, 0, 0}, {1, 2}));  // equals the initial value
    state.apply(eeg_response(EegConfigCodes{0, 0, 0}, {3}));
    EXPECT_EQ(all_timestamps(state), (std::vector<std::uint32_t>{1, 2, 3}));
    state.apply(eeg_response(EegConfigCodes{2, 47, 1}, {}, "", false));
    state.apply(eeg_response(std::nullopt, {4}));
    state.apply(eeg_response(EegConfigCodes{2, 47, 1}, {5}));
    EXPECT_EQ(all_timestamps(state), (std::vector<std::uint32_t>{4, 5}));
}

TEST(EegState, DefaultLengthTrimsOldestFourOnMessage251) {
    EegState state;
    std::uint32_t ts = 0;
    for (int m = 0; m < 250; ++m, ts += 4) state.apply(eeg_response(std::nullopt, {ts, ts + 1, ts + 2, ts + 3}));
    EXPECT_EQ(state.size(), 1000u);
    state.apply(eeg_response(std::nullopt, {ts, ts + 1, ts + 2, ts + 3}));
    auto all = all_timestamps(state);
    ASSERT_EQ(all.size(), 1000u);
    EXPECT_EQ(all.front(), 4u);
    EXPECT_EQ(all.back(), 1003u);
}

TEST(EegState, LengthZeroKeepsNothing) {
    EegState state;
    state.set_buffer_len(0);
    state.apply(eeg_response(std::nullopt, {1, 2, 3, 4}));
    EXPECT_EQ(state.size(), 0u);
}

TEST(EegState, LoweredLengthAppliesAtNextEegDataEvenWithoutSamples) {
    EegState state;
    for (std::uint32_t ts = 0; ts < 40; ts += 4) state.apply(eeg_response(std::nullopt, {ts, ts + 1, ts + 2, ts + 3}));
    state.set_buffer_len(10);
    EXPECT_EQ(state.size(), 40u);
    state.apply(eeg_response(std::nullopt, {}, "", false));  // no EegData: no trim
    EXPECT_EQ(state.size(), 40u);
    state.apply(eeg_response(std::nullopt, {}));  // EegData with no sample present
    auto all = all_timestamps(state);
    ASSERT_EQ(all.size(), 10u);
    EXPECT_EQ(all.front(), 30u);
}

TEST(EegState, SamplesAreStoredWhateverTheirLength) {
    EegState state;
    state.apply(eeg_response(std::nullopt, {7, 8}, "abc"));
    auto taken = state.take_newest(5, true);
    ASSERT_EQ(taken.records.size(), 2u);
    EXPECT_EQ(taken.records[0].data, "abc");
}

struct TakeCase {
    std::size_t take;
    bool clean;
    std::vector<std::uint32_t> returned;
    std::vector<std::uint32_t> left;
};

class EegTakeNewest : public testing::TestWithParam<TakeCase> {};

TEST_P(EegTakeNewest, ReturnsNewestOldestFirstAndRemovesAsAsked) {
    const TakeCase c = GetParam();
    EegState state;
    state.apply(eeg_response(std::nullopt, {1, 2, 3}));
    state.apply(eeg_response(std::nullopt, {4, 5}));
    auto taken = state.take_newest(c.take, c.clean);
    EXPECT_EQ(timestamps_of(taken.records), c.returned);
    EXPECT_EQ(all_timestamps(state), c.left);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EegTakeNewest,
    testing::Values(TakeCase{2, false, {4, 5}, {1, 2, 3}}, TakeCase{2, true, {4, 5}, {}},
                    TakeCase{9, false, {1, 2, 3, 4, 5}, {}}, TakeCase{0, true, {}, {}},
                    TakeCase{0, false, {}, {1, 2, 3, 4, 5}}));

TEST(EegState, ClearKeepsConfigurationAndLength) {
    EegState state;
    state.set_buffer_len(7);
    state.apply(eeg_response(EegConfigCodes{1, 111, 2}, {1}));
    state.clear();
    EXPECT_EQ(state.size(), 0u);
    EXPECT_EQ(state.config(), (EegConfigCodes{1, 111, 2}));
    EXPECT_EQ(state.buffer_len(), 7u);
    EXPECT_EQ(state.take_newest(1, false).gain, 111u);
}

// Records must always come with the gain they were recorded under, even while
// configuration changes race with the reader.
TEST(EegState, ReaderNeverPairsRecordsWithAStaleGain) {
    EegState state;
    std::atomic<bool> stop{false};
    std::thread device([&] {
        std::uint32_t ts = 0;
        for (int i = 0; i < 60000; ++i) {
            const std::uint32_t gain = i % 2 ? 111 : 15;
            const std::string marker(1, static_cast<char>(gain));
            state.apply(eeg_response(EegConfigCodes{1, gain, 0}, {ts, ts + 1, ts + 2, ts + 3}, marker));
            ts += 4;
        }
        stop = true;
    });
    std::size_t checked = 0, stale = 0;
    while (!stop.load()) {
        auto taken = state.take_newest(3, false);
        for (const auto& r : taken.records) {
            if (static_cast<std::uint8_t>(r.data[0]) != taken.gain) ++stale;
            ++checked;
        }
    }
    device.join();
    EXPECT_GT(checked, 0u);
    EXPECT_EQ(stale, 0u);
}
