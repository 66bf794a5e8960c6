// The median's middle-pivot selection against its rule written plainly, where
// NaN and signed zeros make its choice visible. The operations themselves are
// checked through Python (test_downsampling.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "data_handler/median.hpp"

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

static float median_by_rule(const std::vector<float>& list) {
    const std::size_t n = list.size();
    if (n % 2 == 1) return rank_by_rule(list, n / 2);
    const float lower = rank_by_rule(list, n / 2 - 1);
    return (lower + rank_by_rule(list, n / 2)) * 0.5f;
}

static std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

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

// Lists whose middle ranks often fall on zeros of both signs, in orders that
// make the rule take many rounds (bumps, runs) or few (shuffled), with NaN of
// distinct payloads and signs now and then.
static std::vector<float> list_for(std::mt19937& rng, int round) {
    const std::size_t n = 1 + rng() % 400;
    std::vector<float> v(n);
    const int spread = 1 + static_cast<int>(rng() % 20);  // small spreads give many equal values
    for (auto& x : v) x = static_cast<float>(static_cast<int>(rng() % (2 * spread + 1)) - spread) / 4.0f;
    switch (round % 4) {
        case 0: break;                                   // shuffled
        case 1: std::sort(v.begin(), v.end()); break;    // rising
        case 2: std::sort(v.rbegin(), v.rend()); break;  // falling
        case 3: {  // a bump: the even ranks rising, then the odd ones falling
            std::sort(v.begin(), v.end());
            std::vector<float> bump;
            for (std::size_t i = 0; i < n; i += 2) bump.push_back(v[i]);
            for (std::size_t i = n - 1 - n % 2; i < n; i -= 2) bump.push_back(v[i]);
            v = bump;
            break;
        }
    }
    for (auto& x : v) {
        if (x == 0.0f && rng() % 2 == 0) x = -0.0f;
        if (rng() % 97 == 0) x = std::bit_cast<float>(0x7fc00000u | (static_cast<std::uint32_t>(rng()) & 0x803fffffu));
    }
    return v;
}

TEST(SelectRank, LongerListsGiveTheRulesBits) {
    std::mt19937 rng(7);
    dh::RankScratch scratch;
    int zero_median_with_both_signs = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::vector<float> v = list_for(rng, round);
        const std::size_t n = v.size();
        for (std::size_t k : {std::size_t{0}, n / 2 - (n > 1), n / 2, n - 1, std::size_t(rng() % n)}) {
            ASSERT_EQ(bits(dh::select_rank(v, k, scratch)), bits(rank_by_rule(v, k))) << "round " << round << " k " << k;
        }
        const float want = median_by_rule(v);
        ASSERT_EQ(bits(dh::window_median(v, scratch)), bits(want)) << "round " << round;
        zero_median_with_both_signs += want == 0.0f;
    }
    // The lists reach the case where the choice of zero shows often enough to mean something.
    EXPECT_GT(zero_median_with_both_signs, 300);
}

// A half-sine shifted so that its two middle ranks are -0.0 and +0.0: the
// rule's choice shows, and in this order it takes one round per value.
TEST(WindowMedian, ZerosAtTheMedianOfABump) {
    dh::RankScratch scratch;
    for (std::size_t n : {2000u, 2001u}) {
        std::vector<float> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<float>(std::sin(std::numbers::pi * (i + 0.5) / n));
        std::vector<float> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        const float shift = sorted[n / 2];
        for (auto& x : v) x = x == sorted[n / 2 - 1] ? -0.0f : x - shift;
        const float want = median_by_rule(v);
        EXPECT_EQ(want, 0.0f);
        EXPECT_EQ(bits(dh::window_median(v, scratch)), bits(want)) << n;
        EXPECT_EQ(bits(dh::select_rank(v, n / 2 - 1, scratch)), bits(rank_by_rule(v, n / 2 - 1))) << n;
    }
}

// Bumps and dips with zeros of both signs near the top as well as at the
// median ranks, a few values between those zeros lower than their
// neighbours, and far away twins of values between them: the rounds around
// the middle look alike until one reaches a zero, and which zero that is
// turns on every value each round removes.
TEST(SelectRank, ZerosNearTheTopOfABump) {
    std::mt19937 rng(5);
    dh::RankScratch scratch;
    int minus_zeros = 0;
    for (int round = 0; round < 64; ++round) {
        const std::size_t n = 200 + rng() % 200, top = n / 2;
        const std::size_t left = top - 10 - rng() % 30, right = 2 * top - left + rng() % 2;  // the zeros near the top
        std::vector<float> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<float>(std::sin(std::numbers::pi * (i + 0.5) / n));
        for (int twins = rng() % 3; twins > 0; --twins) {
            const std::size_t far = rng() % 2 == 0 ? rng() % (n / 4) : n - 1 - rng() % (n / 4);
            v[far] = v[left + rng() % (right - left)];
        }
        for (int notches = rng() % 3; notches > 0; --notches)
            v[left + 1 + rng() % (right - left - 1)] = v[right + 1 + rng() % 40];
        std::vector<float> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        for (auto& x : v) x = x == sorted[n / 2 - 1] ? -0.0f : x - sorted[n / 2];
        const bool minus_left = rng() % 2 == 0;
        v[left] = minus_left ? -0.0f : 0.0f;
        v[right] = minus_left ? 0.0f : -0.0f;
        if (round % 2 == 1)
            for (auto& x : v) x = -x;  // the middle is its bottom
        for (std::size_t k : {n / 2 - 1, n / 2}) {
            const float want = rank_by_rule(v, k);
            ASSERT_EQ(bits(dh::select_rank(v, k, scratch)), bits(want)) << "round " << round << " k " << k;
            minus_zeros += std::signbit(want);
        }
        ASSERT_EQ(bits(dh::window_median(v, scratch)), bits(median_by_rule(v))) << "round " << round;
    }
    // Either zero comes out often: the lists do not settle the choice by their shape alone.
    EXPECT_GT(minus_zeros, 30);
    EXPECT_LT(minus_zeros, 98);
}
