// The median of a window by middle-pivot selection, bit for bit: which of
// several equal-comparing values comes back (+0.0 or -0.0, which NaN) is the
// one the middle-pivot rule picks. Where that choice cannot show, any
// linear-time selection gives it; where it can, the rule's rounds are played
// in place while they eat a stretch around the middle (a bump), as written
// while they shrink the list fast, and at worst replayed after a radix sort:
// linear cost throughout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kx::data_handler {

// Working storage of the median selection, reused across windows: its buffers
// keep their capacity from one window to the next.
struct RankScratch {
    std::vector<float> lows;   // with NaN: the values below the first round's pivot
    std::vector<float> highs;  // with NaN: the values above it
    std::vector<float> work;   // the copy a selection reorders, or what a played round keeps
    std::vector<std::uint64_t> order;  // sorted rounds: nonzero values by value, as key << 32 | position
    std::vector<std::uint64_t> spare;  // the radix sort's second buffer
    std::vector<std::uint32_t> next, prev;  // sorted rounds: links between the values still in, by position
};

/// The rank-k value (k from 0, k < values.size()) by middle-pivot selection:
/// pivot at the middle of the current list, lows and highs kept in list order,
/// NaN and pivot-equal values counting as the pivot.
float select_rank(std::span<const float> values, std::size_t k, RankScratch& scratch);

/// The rank count/2 value for an odd count, (rank count/2 - 1 + rank count/2) * 0.5
/// for an even one, each rank by select_rank.
float window_median(std::span<const float> w, RankScratch& scratch);

}  // namespace kx::data_handler
