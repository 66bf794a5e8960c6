// Zero-phase Butterworth filtering of 32-bit sample arrays: the design is run
// forward and backward over the oddly extended signal, each pass starting from
// the steady state of a step (SciPy's sosfiltfilt with its defaults). Designs
// and the recursion are in double; only the results are rounded to float32.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "data_handler/butterworth.hpp"

namespace kx::data_handler {

// Samples added at each end before filtering: 3 × the filter's tap count.
// Known from the kind and order alone, so a too-short input is refused before
// the design is built; exact even where it exceeds 64 bits.
unsigned __int128 pad_length(BandKind kind, std::uint64_t order);

// Zero-phase filtering by each design in turn, the intermediate results kept
// in double. Throws SignalArgumentError unless data is longer than the pad
// length of every design.
std::vector<float> zero_phase_filter(std::vector<float> data,
                                     std::initializer_list<const SosDesign*> designs);

// Checks cut-offs and length, designs, then filters zero-phase.
std::vector<float> butterworth_filter(std::vector<float> data, BandKind kind,
                                      std::uint64_t order, CutOffs cut, float fs);

}  // namespace kx::data_handler
