#include "data_handler/downsampling.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "data_handler/signal_error.hpp"

namespace kx::data_handler {
namespace {

[[noreturn]] void refuse_nan() {
    throw SignalArgumentError("the data holds NaN, which Max, Min and Extremes cannot order");
}

// Counts the NaN in one branch-free pass that the compiler turns into vector code.
std::size_t nan_count(std::span<const float> w) {
    std::size_t n = 0;
    for (float v : w) n += v != v;
    return n;
}

// Every comparison with NaN is refused; a window of one value compares nothing.
void refuse_nan_in_comparison(std::span<const float> w) {
    if (w.size() > 1 && nan_count(w) != 0) refuse_nan();
}

struct Extremes {
    float min, max;
};

// Without NaN both chains are selects (minss/maxss), with no branch per element.
Extremes window_extremes(std::span<const float> w) {
    refuse_nan_in_comparison(w);
    Extremes e{w[0], w[0]};
    for (std::size_t i = 1; i < w.size(); ++i) {
        e.min = w[i] < e.min ? w[i] : e.min;  // ties: the earlier one stays
        // Without NaN the same as taking w[i] when w[i] >= max (ties: the later one).
        e.max = e.max > w[i] ? e.max : w[i];
    }
    return e;
}

float window_sum(std::span<const float> w, float start) {
    float acc = start;
    for (float v : w) acc += v;
    return acc;
}

// Without NaN and zeros, equal values are indistinguishable and the rank-k
// value is the same whichever selection finds it, so a linear-time one serves;
// NaN and the sign of a zero make the middle-pivot rule's choice visible.
bool choice_is_visible(std::span<const float> w) {
    std::size_t n = 0;
    for (float v : w) n += (v != v) | (v == 0.0f);
    return n != 0;
}

float window_median(std::span<const float> w, RankScratch& scratch) {
    const std::size_t n = w.size();
    if (choice_is_visible(w)) {
        if (n % 2 == 1) return select_rank(w, n / 2, scratch);
        const float lower = select_rank(w, n / 2 - 1, scratch);
        const float upper = select_rank(w, n / 2, scratch);
        return (lower + upper) * 0.5f;
    }
    auto& v = scratch.list;
    v.assign(w.begin(), w.end());
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(v.begin(), mid, v.end());
    if (n % 2 == 1) return *mid;
    const float lower = *std::max_element(v.begin(), mid);
    return (lower + *mid) * 0.5f;
}

}  // namespace

float select_rank(std::span<const float> values, std::size_t k, RankScratch& s) {
    // The current list sits in cur[0, count). Each round writes every value
    // both to the lows (compacted in place) and to the highs buffer, and
    // advances only the side it belongs to: no data-dependent branch.
    s.list.assign(values.begin(), values.end());
    s.highs.resize(values.size());
    float* cur = s.list.data();
    float* spare = s.highs.data();
    std::size_t count = values.size();
    while (count > 1) {
        const float pivot = cur[count / 2];
        std::size_t lows = 0, highs = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const float v = cur[i];
            cur[lows] = v;
            spare[highs] = v;
            lows += v < pivot;
            highs += v > pivot;
        }
        if (k < lows) {
            count = lows;
        } else if (k < count - highs) {
            return pivot;
        } else {
            k -= count - highs;
            count = highs;
            std::swap(cur, spare);
        }
    }
    return cur[0];
}

std::vector<float> downsample(std::span<const float> data, std::uint64_t window_size,
                              DownsamplingOperations operation) {
    if (window_size == 0) throw SignalArgumentError("window_size must be positive");
    const std::size_t n_windows = data.size() / window_size;
    const auto width = static_cast<std::size_t>(window_size);
    const bool two_each = operation == DownsamplingOperations::Extremes;
    // Filled by index: a value handed to push_back by reference would keep the
    // running max/min in memory instead of a register.
    std::vector<float> out(two_each ? 2 * n_windows : n_windows);
    RankScratch scratch;
    for (std::size_t i = 0; i < n_windows; ++i) {
        const auto w = data.subspan(i * width, width);
        float& slot = out[two_each ? 2 * i : i];
        switch (operation) {
            case DownsamplingOperations::Mean: slot = window_sum(w, 0.0f) / static_cast<float>(window_size); break;
            case DownsamplingOperations::Median: slot = window_median(w, scratch); break;
            case DownsamplingOperations::Max: slot = window_extremes(w).max; break;
            case DownsamplingOperations::Min: slot = window_extremes(w).min; break;
            case DownsamplingOperations::Sum: slot = window_sum(w, -0.0f); break;
            case DownsamplingOperations::First: slot = w.front(); break;
            case DownsamplingOperations::Last: slot = w.back(); break;
            case DownsamplingOperations::Extremes: {
                const Extremes e = window_extremes(w);
                slot = e.min;
                out[2 * i + 1] = e.max;
                break;
            }
        }
    }
    return out;
}

}  // namespace kx::data_handler
