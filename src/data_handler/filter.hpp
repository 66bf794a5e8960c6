// Zero-phase Butterworth filtering of 32-bit sample arrays: the design is run
// forward and backward over the oddly extended signal, each pass starting from
// the steady state of a step (SciPy's sosfiltfilt with its defaults). The
// recursion itself runs in double; results are rounded to float32.
#pragma once

#include <cstdint>
#include <vector>

#include "data_handler/butterworth.hpp"

namespace kx::data_handler {

// Samples added at each end before filtering: 3 × the filter's tap count.
std::size_t pad_length(const SosDesign& sos);

// The same, known from the kind and order alone (so a too-short input is
// refused before the design is built).
std::size_t pad_length(BandKind kind, std::uint64_t order);

// Forward-backward filtering, in place in `data`'s storage. Throws
// SignalArgumentError unless data is longer than pad_length(sos).
std::vector<float> zero_phase_filter(std::vector<float> data, const SosDesign& sos);

// Checks cut-offs and length, designs, then filters zero-phase.
std::vector<float> butterworth_filter(std::vector<float> data, BandKind kind,
                                      std::uint64_t order, CutOffs cut, float fs);

}  // namespace kx::data_handler
