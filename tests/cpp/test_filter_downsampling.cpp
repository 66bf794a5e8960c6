// The median selection, against sorting and against its rule written plainly.
// The operations themselves are checked through Python (test_downsampling.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "data_handler/downsampling.hpp"

namespace dh = kx::data_handler;

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
