#include "data_handler/eeg_buffer.hpp"

#include <atomic>
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

// Only a configuration that differs from the one in force (initially all
// zero) empties the buffer, also when its message has no EEG data.
TEST(EegState, OnlyAChangedConfigurationEmptiesTheBuffer) {
    EegState state;
    state.apply(eeg_response(EegConfigCodes{0, 0, 0}, {1, 2}));
    state.apply(eeg_response(EegConfigCodes{0, 0, 0}, {3}));
    EXPECT_EQ(all_timestamps(state), (std::vector<std::uint32_t>{1, 2, 3}));
    state.apply(eeg_response(EegConfigCodes{2, 47, 1}, {}, "", false));
    state.apply(eeg_response(std::nullopt, {4}));
    state.apply(eeg_response(EegConfigCodes{2, 47, 1}, {5}));
    EXPECT_EQ(all_timestamps(state), (std::vector<std::uint32_t>{4, 5}));
    EXPECT_EQ(state.config(), (EegConfigCodes{2, 47, 1}));
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
