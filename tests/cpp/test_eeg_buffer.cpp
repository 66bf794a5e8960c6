#include "data_handler/eeg_buffer.hpp"

#include <atomic>
#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "eeg_test_support.hpp"

using kx::data_handler::EegConfigCodes;
using kx::data_handler::EegState;
using kx::test::eeg_response;
using kx::test::timestamps_of;

static std::vector<std::uint32_t> range(std::uint32_t from, std::uint32_t to) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t ts = from; ts < to; ++ts) out.push_back(ts);
    return out;
}

// Only a configuration that differs from the one in force (initially all
// zero) empties the buffer, also when its message has no EEG data.
TEST(EegState, OnlyAChangedConfigurationEmptiesTheBuffer) {
    EegState state;
    state.apply(eeg_response(EegConfigCodes{0, 0, 0}, {1, 2}));
    state.apply(eeg_response(EegConfigCodes{0, 0, 0}, {3}));
    EXPECT_EQ(timestamps_of(state.take_newest(SIZE_MAX, false)), (std::vector<std::uint32_t>{1, 2, 3}));
    state.apply(eeg_response(EegConfigCodes{2, 47, 1}, {}, "", false));
    state.apply(eeg_response(std::nullopt, {4}));
    state.apply(eeg_response(EegConfigCodes{2, 47, 1}, {5}));
    EXPECT_EQ(timestamps_of(state.take_newest(SIZE_MAX, false)), (std::vector<std::uint32_t>{4, 5}));
    EXPECT_EQ(state.config(), (EegConfigCodes{2, 47, 1}));
}

// The storage is a ring that wraps, grows while wrapped and is swapped out by
// clean reads: the order of the records must survive all of it. A read takes
// the newest records; a clean read drops the older ones too.
TEST(EegState, OrderSurvivesWrapGrowthAndRecycledStorage) {
    EegState state;
    state.set_buffer_len(50);
    for (std::uint32_t ts = 0; ts < 60; ++ts) state.apply(eeg_response(std::nullopt, {ts}));
    state.set_buffer_len(1000);
    for (std::uint32_t ts = 60; ts < 100; ++ts) state.apply(eeg_response(std::nullopt, {ts}));
    EXPECT_TRUE(timestamps_of(state.take_newest(0, false)).empty());
    EXPECT_EQ(timestamps_of(state.take_newest(3, false)), range(97, 100));  // the older ones stay
    auto taken = state.take_newest(40, true);
    EXPECT_EQ(timestamps_of(taken), range(57, 97));
    state.recycle(std::move(taken.ring));
    EXPECT_EQ(state.size(), 0u);
    for (std::uint32_t ts = 100; ts < 104; ++ts) state.apply(eeg_response(std::nullopt, {ts}));
    EXPECT_EQ(timestamps_of(state.take_newest(SIZE_MAX, true)), range(100, 104));  // more than held: all
}

// Records must always come with the gain their message carried, while a
// reader races with one consumer or two (out of phase) applying alternating
// configurations.
class EegStateRace : public testing::TestWithParam<int> {};

TEST_P(EegStateRace, ReaderNeverPairsRecordsWithAStaleGain) {
    EegState state;
    const auto gain_15 = eeg_response(EegConfigCodes{1, 15, 0}, {1, 2, 3}, std::string(1, '\x0f'));
    const auto gain_111 = eeg_response(EegConfigCodes{1, 111, 0}, {1, 2, 3}, std::string(1, '\x6f'));
    std::atomic<int> running{GetParam()};
    std::latch start(GetParam() + 1);
    std::vector<std::thread> consumers;
    for (int c = 0; c < GetParam(); ++c) {
        consumers.emplace_back([&, c] {
            start.arrive_and_wait();
            for (int i = 0; i < 300000; ++i) state.apply((i + c) % 2 ? gain_111 : gain_15);
            --running;
        });
    }
    start.arrive_and_wait();
    std::size_t checked = 0, stale = 0;
    auto check = [&](EegState::Taken taken) {
        for (std::size_t i = 0; i < taken.count(); ++i, ++checked) stale += static_cast<std::uint8_t>(taken[i].data[0]) != taken.gain;
        state.recycle(std::move(taken.ring));
    };
    while (running.load() > 0) check(state.take_newest(SIZE_MAX, true));
    for (auto& t : consumers) t.join();
    check(state.take_newest(SIZE_MAX, true));
    EXPECT_GT(checked, 0u);
    EXPECT_EQ(stale, 0u);
}

INSTANTIATE_TEST_SUITE_P(Consumers, EegStateRace, testing::Values(1, 2));
