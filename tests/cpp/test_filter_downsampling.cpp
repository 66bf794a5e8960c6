// Window reduction: the eight operations, their comparison rules and the median selection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "data_handler/downsampling.hpp"
#include "data_handler/signal_error.hpp"

namespace dh = kx::data_handler;
using Op = dh::DownsamplingOperations;

namespace {

struct Case {
    const char* name;
    std::vector<float> data;
    std::uint64_t window;
    Op op;
    std::vector<float> want;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) && std::isnan(b[i])) continue;
        if (a[i] != b[i] || std::signbit(a[i]) != std::signbit(b[i])) return false;
    }
    return true;
}

}  // namespace

class Downsample : public ::testing::TestWithParam<Case> {};

TEST_P(Downsample, Gives) {
    const auto& c = GetParam();
    const auto got = dh::downsample(c.data, c.window, c.op);
    EXPECT_TRUE(same_bits(got, c.want)) << ::testing::PrintToString(got);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, Downsample,
    ::testing::Values(
        Case{"mean_drops_tail", {1, 2, 3, 4, 5, 6, 7}, 3, Op::Mean, {2, 5}},
        Case{"sum_short_input_is_empty", {1, 2, 3}, 5, Op::Sum, {}},
        Case{"median_even", {4, 1, 3, 2}, 4, Op::Median, {2.5f}},
        Case{"median_odd", {5, 1, 3}, 3, Op::Median, {3}},
        Case{"median_duplicates", {2, 2, 1, 2, 3, 2}, 6, Op::Median, {2}},
        Case{"extremes", {3, 9, 1}, 3, Op::Extremes, {1, 9}},
        Case{"extremes_window_one", {3, 9, 1}, 1, Op::Extremes, {3, 3, 9, 9, 1, 1}},
        Case{"sum_negative_zeros", {-0.0f, -0.0f}, 2, Op::Sum, {-0.0f}},
        Case{"mean_negative_zeros", {-0.0f, -0.0f}, 2, Op::Mean, {0.0f}},
        Case{"first", {1, 2, 3, 4}, 2, Op::First, {1, 3}},
        Case{"last", {1, 2, 3, 4}, 2, Op::Last, {2, 4}},
        Case{"max_keeps_later_equal_zero", {-0.0f, 0.0f, 1, 1}, 2, Op::Max, {0.0f, 1}},
        Case{"max_later_negative_zero_wins", {0.0f, -0.0f}, 2, Op::Max, {-0.0f}},
        Case{"min_keeps_earlier_equal_zero", {0.0f, -0.0f}, 2, Op::Min, {0.0f}},
        Case{"sum_in_float32_order", {16777216.0f, 1.0f, 1.0f}, 3, Op::Sum, {16777216.0f}},
        Case{"median_nan_counts_as_pivot", {NAN, 1, 2}, 3, Op::Median, {1}},
        Case{"median_nan_pivot", {1, NAN, 2}, 3, Op::Median, {NAN}},
        Case{"mean_nan_window", {1, NAN}, 2, Op::Mean, {NAN}},
        Case{"max_single_nan_window", {NAN, 2}, 1, Op::Max, {NAN, 2}},
        Case{"window_zero_values_empty", {}, 3, Op::Median, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DownsampleErrors, WindowZeroAndNaNUnderOrderingOps) {
    auto text = [](auto&& call) -> std::string {
        try {
            call();
        } catch (const dh::SignalArgumentError& e) {
            return e.what();
        }
        return "<no error>";
    };
    EXPECT_EQ(text([] { dh::downsample({}, 0, Op::Mean); }), "window_size must be positive");
    for (Op op : {Op::Max, Op::Min, Op::Extremes}) {
        for (const std::vector<float>& w : {std::vector<float>{1, NAN}, std::vector<float>{NAN, 1}}) {
            EXPECT_NE(text([&] { dh::downsample(w, 2, op); }).find("NaN"), std::string::npos);
        }
    }
}

TEST(SelectRank, AgreesWithSortingOnRandomWindows) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> small(-5, 5);  // many ties
    dh::RankScratch scratch;
    for (int round = 0; round < 500; ++round) {
        std::vector<float> v(1 + rng() % 40);
        for (auto& x : v) x = float(small(rng));
        auto sorted = v;
        std::sort(sorted.begin(), sorted.end());
        for (std::size_t k = 0; k < v.size(); ++k) ASSERT_EQ(dh::select_rank(v, k, scratch), sorted[k]);
    }
}

// The selection rule written plainly: middle pivot, lows and highs in list
// order, NaN and pivot-equal values counting as the pivot.
static float rank_by_rule(std::vector<float> list, std::size_t k) {
    while (list.size() > 1) {
        const float pivot = list[list.size() / 2];
        std::vector<float> lows, highs;
        for (float v : list) {
            if (v < pivot) lows.push_back(v);
            else if (v > pivot) highs.push_back(v);
        }
        if (k < lows.size()) {
            list = lows;
        } else if (k < list.size() - highs.size()) {
            return pivot;
        } else {
            k -= list.size() - highs.size();
            list = highs;
        }
    }
    return list[0];
}

TEST(SelectRank, FollowsTheRuleWithNaNAndSignedZeros) {
    std::mt19937 rng(11);
    const float pool[] = {NAN, -0.0f, 0.0f, 1.0f, -1.0f, 2.0f, INFINITY, -INFINITY};
    dh::RankScratch scratch;
    for (int round = 0; round < 2000; ++round) {
        std::vector<float> v(1 + rng() % 12);
        for (auto& x : v) x = pool[rng() % std::size(pool)];
        for (std::size_t k = 0; k < v.size(); ++k) {
            const float want = rank_by_rule(v, k), got = dh::select_rank(v, k, scratch);
            ASSERT_TRUE((std::isnan(want) && std::isnan(got)) ||
                        (want == got && std::signbit(want) == std::signbit(got)))
                << "round " << round << " k " << k;
        }
    }
}
