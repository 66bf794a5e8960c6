#include "data_handler/downsampling.hpp"

#include <cstddef>

#include "data_handler/median.hpp"
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

}  // namespace

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
