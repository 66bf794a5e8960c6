#include "data_handler/median.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <numeric>

namespace kx::data_handler {
namespace {

// Branch-free counting passes that the compiler turns into vector code.
bool has_nan(std::span<const float> w) {
    std::size_t n = 0;
    for (float v : w) n += v != v;
    return n != 0;
}

bool has_both_zeros(std::span<const float> w) {
    std::size_t positive = 0, negative = 0;
    for (float v : w) {
        const auto bits = std::bit_cast<std::uint32_t>(v);
        positive += bits == 0u;
        negative += bits == 0x80000000u;
    }
    return positive != 0 && negative != 0;
}

// The order-preserving unsigned image of a float that is not NaN.
std::uint32_t order_key(float v) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    return bits ^ ((bits >> 31) != 0 ? 0xffffffffu : 0x80000000u);
}

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
/// a NaN-free list of fewer than 2^32 - 1 values holding zeros of both signs.
/// Zeros never leave the list, so the rule ends at the first round whose
/// middle value is a zero, whatever the rank; a round with a positive middle
/// value p keeps the values below p, one with a negative p those above it. The
/// nonzero values sorted by value give the order they leave in, from either
/// end; a linked list over positions keeps the rest in list order, and a cursor
/// on the middle value walks at most as many steps as values leave: O(n)
/// rounds together after the sort.
float zero_by_replay(std::span<const float> list, RankScratch& s) {
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

/// The zero the middle-pivot rule returns for any rank whose value is zero
/// (see zero_by_replay). Rounds played as written cost the list's length each
/// and finish in a few lengths for most orders; orders that keep them going
/// (a bump, whose middle is its top) go on by replay once the rounds have
/// touched kRoundsBudget lengths.
float zero_by_rule(std::span<const float> list, RankScratch& s) {
    constexpr std::size_t kRoundsBudget = 4;
    constexpr std::size_t kReplayLimit = 0xfffffffe;  // positions and links in 32 bits
    auto& cur = s.work;
    cur.assign(list.begin(), list.end());
    std::size_t count = cur.size(), touched = 0;
    while (touched + count <= kRoundsBudget * list.size() || count > kReplayLimit) {
        touched += count;
        const float pivot = cur[count / 2];
        if (pivot == 0.0f) return pivot;
        // Compacted in place; every value is written and only the kept ones advance.
        std::size_t kept = 0;
        if (pivot > 0.0f) {
            for (std::size_t i = 0; i < count; ++i) {
                const float v = cur[i];
                cur[kept] = v;
                kept += v < pivot;
            }
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                const float v = cur[i];
                cur[kept] = v;
                kept += v > pivot;
            }
        }
        count = kept;
    }
    return zero_by_replay({cur.data(), count}, s);
}

/// Without NaN, values that compare equal have the same bits unless they are
/// zeros of both signs: only then can the rule's choice show, so only then is
/// it replayed; any linear-time selection gives the same bits otherwise.
float rank_without_nan(std::span<const float> list, std::size_t k, RankScratch& s) {
    auto& v = s.work;
    v.assign(list.begin(), list.end());
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    const float value = v[k];
    return value == 0.0f && has_both_zeros(list) ? zero_by_rule(list, s) : value;
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
    s.list.resize(count);
    s.highs.resize(count);
    std::size_t lows = 0, highs = 0;
    for (float v : values) {
        s.list[lows] = v;
        s.highs[highs] = v;
        lows += v < pivot;
        highs += v > pivot;
    }
    if (k < lows) return rank_without_nan({s.list.data(), lows}, k, s);
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
    // One selection gives both middle ranks: the lower is the largest value before the upper.
    auto& v = s.work;
    v.assign(w.begin(), w.end());
    const auto upper_at = v.begin() + static_cast<std::ptrdiff_t>(mid);
    std::nth_element(v.begin(), upper_at, v.end());
    float upper = *upper_at;
    float lower = *std::max_element(v.begin(), upper_at);
    if ((upper == 0.0f || lower == 0.0f) && has_both_zeros(w)) {
        const float zero = zero_by_rule(w, s);
        if (upper == 0.0f) upper = zero;
        if (lower == 0.0f) lower = zero;
    }
    return (lower + upper) * 0.5f;
}

}  // namespace kx::data_handler
