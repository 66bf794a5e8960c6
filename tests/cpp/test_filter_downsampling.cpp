// The median's middle-pivot selection against its rule written plainly, where
// NaN and signed zeros make its choice visible. The operations themselves are
// checked through Python (test_downsampling.py).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "data_handler/downsampling.hpp"

namespace dh = kx::data_handler;

// Middle pivot, lows and highs in list order, NaN and pivot-equal values counting as the pivot.
static float rank_by_rule(std::vector<float> list, std::size_t k) {
    while (list.size() > 1) {
        const float pivot = list[list.size() / 2];
        std::vector<float> lows, highs;
        for (float v : list) {
            if (v < pivot) lows.push_back(v);
            else if (v > pivot) highs.push_back(v);
        }
        const std::size_t not_high = list.size() - highs.size();
        if (k >= lows.size() && k < not_high) return pivot;
        list = k < lows.size() ? lows : highs;
        if (k >= not_high) k -= not_high;
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
            ASSERT_TRUE((std::isnan(want) && std::isnan(got)) || (want == got && std::signbit(want) == std::signbit(got)))
                << "round " << round << " k " << k;
        }
    }
}
