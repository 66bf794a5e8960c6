// Window-by-window reduction of a sample array: consecutive, non-overlapping
// windows, each replaced by one value (two for Extremes); a trailing partial
// window is dropped.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "data_handler/enums.hpp"

namespace kx::data_handler {

// Throws SignalArgumentError for window_size 0 and for NaN inside a window of
// two or more values under Max, Min or Extremes (NaN cannot be ordered).
std::vector<float> downsample(std::span<const float> data, std::uint64_t window_size,
                              DownsamplingOperations operation);

}  // namespace kx::data_handler
