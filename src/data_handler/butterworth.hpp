// Butterworth IIR design to second-order sections, following SciPy's
// butter(..., output='sos') step by step: analog prototype, pre-warping, band
// transform, bilinear transform and zpk2sos's nearest pole/zero pairing.
#pragma once

#include <cstdint>
#include <vector>

namespace kx::data_handler {

// One biquad: numerator b0..b2, denominator a0..a2 (a0 is always 1).
struct Section {
    double b0, b1, b2, a0, a1, a2;
    bool operator==(const Section&) const = default;
};

enum class BandKind : std::uint8_t { LowPass, HighPass, BandPass, BandStop };

// The sections of a design with the kind and order they were designed for,
// which fix how many samples filtering pads each end with.
struct SosDesign {
    BandKind kind;
    std::uint64_t order;
    std::vector<Section> sections;
};

// The cut-offs of a design: `low` alone for low-pass and high-pass
// (`high` is then ignored), `low` < `high` for band-pass and band-stop.
struct CutOffs {
    float low;
    float high;
};

// Throws SignalArgumentError unless every cut-off lies in (0, fs/2), the band
// edges are ordered and nothing is NaN. Checked in SciPy's order, with its texts.
void check_cut_offs(BandKind kind, CutOffs cut, float fs);

// Number of sections the design of `kind` and `order` has, known without designing it.
std::uint64_t section_count(BandKind kind, std::uint64_t order);

// Checks the cut-offs, then designs the digital filter. Throws
// SignalArgumentError when the design cannot be used: a coefficient that is
// not finite, a zero gain, or a pole on or outside the unit circle.
SosDesign design_butterworth(BandKind kind, std::uint64_t order, CutOffs cut, float fs);

}  // namespace kx::data_handler
