#include "data_handler/median.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <numeric>

namespace kx::data_handler {
namespace {

// Branch-free counting passes that the compiler turns into vector code.
bool has_nan(std::span<const float> w) {
    std::size_t n = 0;
    for (float v : w) n += v != v;
    return n != 0;
}

// The ranks [first, end) of the zeros of a NaN-free list that holds zeros of
// both signs, where the rule's choice of zero can show; empty otherwise.
struct SignedZeroRanks {
    std::size_t first = 0, end = 0;
    bool holds(std::size_t k) const { return first <= k && k < end; }
};

SignedZeroRanks signed_zero_ranks(std::span<const float> w) {
    std::size_t below = 0, positive = 0, negative = 0;
    for (float v : w) {
        const auto bits = std::bit_cast<std::uint32_t>(v);
        below += v < 0.0f;
        positive += bits == 0u;
        negative += bits == 0x80000000u;
    }
    if (positive == 0 || negative == 0) return {};
    return {below, below + positive + negative};
}

// Signed integers in the order of the floats they come from (NaN aside, -0.0
// just below +0.0); the mapping is its own inverse on the bits.
std::int32_t ordered(float v) {
    const auto bits = std::bit_cast<std::int32_t>(v);
    return bits ^ ((bits >> 31) & 0x7fffffff);
}

// The same order on unsigned keys, for the radix sort.
std::uint32_t order_key(float v) { return static_cast<std::uint32_t>(ordered(v)) ^ 0x80000000u; }

/// The nonzero values of `list` as order_key << 32 | position, sorted by value:
/// LSD radix sort on the key, three 11-bit digits.
void sort_nonzero_by_value(std::span<const float> list, std::vector<std::uint64_t>& out,
                           std::vector<std::uint64_t>& spare) {
    out.clear();
    for (std::size_t pos = 0; pos < list.size(); ++pos)
        if (list[pos] != 0.0f) out.push_back(std::uint64_t{order_key(list[pos])} << 32 | pos);
    spare.resize(out.size());
    for (int shift = 32; shift < 64; shift += 11) {
        std::size_t start[2049] = {};
        for (std::uint64_t item : out) ++start[((item >> shift) & 2047) + 1];
        std::partial_sum(std::begin(start), std::end(start), std::begin(start));
        for (std::uint64_t item : out) spare[start[(item >> shift) & 2047]++] = item;
        out.swap(spare);
    }
}

/// The zero the middle-pivot rule returns for any rank whose value is zero, in
/// a NaN-free list of fewer than 2^32 - 1 values holding zeros of both signs,
/// its rounds replayed on the nonzero values sorted once. Zeros never leave
/// the list, so the rule ends at the first round whose middle value is a zero,
/// whatever the rank; a round with a positive middle value p keeps the values
/// below p, one with a negative p those above it. The nonzero values sorted by
/// value give the order they leave in, from either end; a linked list over
/// positions keeps the rest in list order, and a cursor on the middle value
/// walks at most as many steps as values leave: O(n) rounds together after the
/// sort.
float zero_by_sorted_rounds(std::span<const float> list, RankScratch& s) {
    const auto n = static_cast<std::uint32_t>(list.size()), end = n;  // `end` links the last value to the first
    auto& order = s.order;
    sort_nonzero_by_value(list, order, s.spare);
    auto& next = s.next;
    auto& prev = s.prev;
    next.resize(std::size_t{n} + 1);
    prev.resize(std::size_t{n} + 1);
    for (std::uint32_t pos = 0; pos <= n; ++pos) {
        next[pos] = pos == n ? 0 : pos + 1;
        prev[pos] = pos == 0 ? end : pos - 1;
    }
    std::uint32_t count = n, cursor = 0, rank = 0;  // rank: values before the cursor (`end` has them all)
    const auto leave = [&](std::uint64_t item) {
        const auto pos = static_cast<std::uint32_t>(item);
        if (pos == cursor) cursor = next[pos];  // the next value takes its rank
        else if (pos < cursor) --rank;
        next[prev[pos]] = next[pos];
        prev[next[pos]] = prev[pos];
        --count;
    };
    std::size_t lo = 0, hi = order.size();  // order[lo, hi): the nonzero values still in the list
    for (;;) {
        for (; rank < count / 2; ++rank) cursor = next[cursor];
        for (; rank > count / 2; --rank) cursor = prev[cursor];
        const float pivot = list[cursor];
        if (pivot == 0.0f) return pivot;
        const std::uint64_t key = order_key(pivot);  // equal nonzero values have equal keys
        if (pivot > 0.0f) {
            while (hi > lo && order[hi - 1] >> 32 >= key) leave(order[--hi]);
        } else {
            while (lo < hi && order[lo] >> 32 <= key) leave(order[lo++]);
        }
    }
}

struct Extremes {
    float min, max;
};

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr Extremes kNothingLeft{kInf, -kInf}, kAnythingLeft{-kInf, kInf};

/// The least and the greatest value outside [l, r) of a NaN-free list, taken
/// on integer keys: a chain of float min and max does not vectorise.
Extremes extremes_outside(std::span<const float> list, std::size_t l, std::size_t r) {
    std::int32_t lo = std::numeric_limits<std::int32_t>::max(), hi = std::numeric_limits<std::int32_t>::min();
    for (const auto part : {list.first(l), list.subspan(r)}) {
        for (const float v : part) {
            const std::int32_t key = ordered(v);
            lo = key < lo ? key : lo;
            hi = key > hi ? key : hi;
        }
    }
    const auto value = [](std::int32_t key) { return std::bit_cast<float>(ordered(std::bit_cast<float>(key))); };
    return {value(lo), value(hi)};
}

// Rounds played where the list lies, without moving it: the values removed so
// far are the stretch [l, r) around the middle and the rest lie in (below,
// above), while each round's pivot sits at an end of the stretch and is
// assumed to remove only the values equal to it next to it. A round with a
// positive pivot p removed nothing else exactly when nothing the run left is
// p or more (what later rounds removed lies below p), and the same holds for
// a negative one: one pass over what is left tells where the run really ends.
struct Run {
    std::size_t l, r, rounds = 0;
    float below = -kInf, above = kInf;
    float pivot = 0.0f;  // of the first round not played
};

/// The run from the untouched list, stopped before the first round that
/// `left` (the extremes of what a run left) shows removing more.
Run play_run(std::span<const float> list, Extremes left) {
    const std::size_t n = list.size();
    Run run{n / 2, n / 2};
    for (;; ++run.rounds) {
        const std::size_t mid = (n - (run.r - run.l)) / 2;
        const std::size_t at = mid < run.l ? mid : run.r + (mid - run.l);
        const float p = run.pivot = list[at];
        if (at + 1 != run.l && at != run.r) return run;
        // A pivot beyond an earlier one is a value that round missed.
        if (p > 0.0f) {
            if (p >= run.above || left.max >= p) return run;
            run.above = p;
        } else if (p < 0.0f) {
            if (p <= run.below || left.min <= p) return run;
            run.below = p;
        } else {
            return run;
        }
        while (run.l > 0 && list[run.l - 1] == p) --run.l;
        while (run.r < n && list[run.r] == p) ++run.r;
    }
}

/// The zero the middle-pivot rule returns for any rank whose value is zero
/// (see zero_by_sorted_rounds). A run (a bump, whose middle is its top, is
/// one) goes as far as it holds, then one round is played as written, at the
/// cost of the list's length; orders that keep those going go on by sorted
/// rounds once they have touched kRoundsBudget lengths.
float zero_by_rule(std::span<const float> list, RankScratch& s) {
    constexpr std::size_t kRoundsBudget = 4;
    constexpr std::size_t kReplayLimit = 0xfffffffe;  // positions and links in 32 bits
    constexpr std::size_t kShortRun = 8;               // saves less than the pass that checks it
    std::span<const float> cur = list;
    std::size_t touched = 0;
    for (;;) {
        Run run = play_run(cur, kNothingLeft);
        const Extremes left = run.rounds < kShortRun ? kAnythingLeft : extremes_outside(cur, run.l, run.r);
        if (left.max >= run.above || left.min <= run.below) run = play_run(cur, left);
        const float pivot = run.pivot;
        if (pivot == 0.0f) return pivot;
        // Compacted into the work list; every value is written and only the kept ones advance.
        s.work.resize(list.size());
        float* const out = s.work.data();
        std::size_t kept = 0;
        for (const auto part : {cur.first(run.l), cur.subspan(run.r)}) {
            if (pivot > 0.0f) {
                for (const float v : part) {
                    out[kept] = v;
                    kept += v < pivot;
                }
            } else {
                for (const float v : part) {
                    out[kept] = v;
                    kept += v > pivot;
                }
            }
        }
        touched += cur.size();
        cur = {out, kept};
        if (touched > kRoundsBudget * list.size() && kept <= kReplayLimit) return zero_by_sorted_rounds(cur, s);
    }
}

/// Without NaN, values that compare equal have the same bits unless they are
/// zeros of both signs: only then can the rule's choice show, so only then is
/// it replayed; any linear-time selection gives the same bits otherwise.
float rank_without_nan(std::span<const float> list, std::size_t k, RankScratch& s) {
    if (signed_zero_ranks(list).holds(k)) return zero_by_rule(list, s);
    auto& v = s.work;
    v.assign(list.begin(), list.end());
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

}  // namespace

float select_rank(std::span<const float> values, std::size_t k, RankScratch& s) {
    if (!has_nan(values)) return rank_without_nan(values, k, s);
    // NaN joins neither the lows nor the highs, so only the first round sees it:
    // play that round as the rule does; the list it leaves holds no NaN.
    // Every value is written to both sides and advances only the side it
    // belongs to: no data-dependent branch.
    const std::size_t count = values.size();
    const float pivot = values[count / 2];
    s.lows.resize(count);
    s.highs.resize(count);
    std::size_t lows = 0, highs = 0;
    for (float v : values) {
        s.lows[lows] = v;
        s.highs[highs] = v;
        lows += v < pivot;
        highs += v > pivot;
    }
    if (k < lows) return rank_without_nan({s.lows.data(), lows}, k, s);
    if (k < count - highs) return pivot;  // every k when the pivot is NaN
    return rank_without_nan({s.highs.data(), highs}, k - (count - highs), s);
}

float window_median(std::span<const float> w, RankScratch& s) {
    const std::size_t n = w.size(), mid = n / 2;
    const bool odd = n % 2 == 1;
    if (has_nan(w)) {
        if (odd) return select_rank(w, mid, s);
        const float lower = select_rank(w, mid - 1, s);
        return (lower + select_rank(w, mid, s)) * 0.5f;
    }
    if (odd) return rank_without_nan(w, mid, s);
    const SignedZeroRanks zeros = signed_zero_ranks(w);
    const bool lower_zero = zeros.holds(mid - 1), upper_zero = zeros.holds(mid);
    float lower = 0.0f, upper = 0.0f;
    if (!lower_zero || !upper_zero) {
        // One selection gives both middle ranks: the lower is the largest value before the upper.
        auto& v = s.work;
        v.assign(w.begin(), w.end());
        const auto upper_at = v.begin() + static_cast<std::ptrdiff_t>(mid);
        std::nth_element(v.begin(), upper_at, v.end());
        upper = *upper_at;
        lower = *std::max_element(v.begin(), upper_at);
    }
    if (lower_zero || upper_zero) {
        const float zero = zero_by_rule(w, s);
        if (upper_zero) upper = zero;
        if (lower_zero) lower = zero;
    }
    return (lower + upper) * 0.5f;
}

}  // namespace kx::data_handler
