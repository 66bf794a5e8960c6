#include "data_handler/filter.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "data_handler/signal_error.hpp"

namespace kx::data_handler {
namespace {

// The coefficients are designed in 32-bit floats, but the recursion runs in
// double: in float32 the round-off of sections with poles near z = 1 grows to
// percent-level errors (order-8 band-stop with a low edge at 1% of fs), while
// double costs the same per step.
using Acc = double;

// A section ready for filtering, with its running state.
struct Stage {
    Acc b0, b1, b2, a1, a2;
    Acc z0, z1;
};

// Steady-state response of one section to a unit step (SciPy's lfilter_zi):
// solves (I - Aᵀ)·zi = (b1 - a1·b0, b2 - a2·b0) by LU with partial pivoting.
std::array<Acc, 2> step_steady_state(const Stage& s) {
    Acc m00 = 1.0 + s.a1, m01 = -1.0, m10 = s.a2, m11 = 1.0;
    Acc r0 = s.b1 - s.a1 * s.b0, r1 = s.b2 - s.a2 * s.b0;
    if (std::abs(m10) > std::abs(m00)) {
        std::swap(m00, m10);
        std::swap(m01, m11);
        std::swap(r0, r1);
    }
    const Acc l = m10 / m00;
    m11 -= l * m01;
    r1 -= l * r0;
    const Acc zi1 = r1 / m11;
    const Acc zi0 = (r0 - m01 * zi1) / m00;
    return {zi0, zi1};
}

// Initial states of the cascade for a unit step (SciPy's sosfilt_zi).
std::vector<std::array<Acc, 2>> cascade_steady_state(const std::vector<Stage>& stages) {
    std::vector<std::array<Acc, 2>> zi(stages.size());
    Acc scale = 1.0;
    for (std::size_t i = 0; i < stages.size(); ++i) {
        const auto& s = stages[i];
        const auto unit = step_steady_state(s);
        zi[i] = {scale * unit[0], scale * unit[1]};
        scale *= (s.b0 + s.b1 + s.b2) / (1.0 + s.a1 + s.a2);
    }
    return zi;
}

// One pass over x[0..n) with stride `step` (+1 forward, -1 backward), in place.
// The state stays in registers across the whole pass; the cascade of N stages
// is unrolled so consecutive samples overlap across stages.
template <std::size_t N>
void run_fixed(Stage* stages, Acc* x, std::ptrdiff_t n, std::ptrdiff_t step) {
    std::array<Stage, N> st;
    std::copy(stages, stages + N, st.begin());
    for (std::ptrdiff_t i = 0; i < n; ++i, x += step) {
        Acc v = *x;
        for (std::size_t k = 0; k < N; ++k) {
            auto& s = st[k];
            const Acc y = s.b0 * v + s.z0;
            s.z0 = s.b1 * v - s.a1 * y + s.z1;
            s.z1 = s.b2 * v - s.a2 * y;
            v = y;
        }
        *x = v;
    }
    std::copy(st.begin(), st.end(), stages);
}

void run_any(std::vector<Stage>& stages, Acc* x, std::ptrdiff_t n, std::ptrdiff_t step) {
    for (std::ptrdiff_t i = 0; i < n; ++i, x += step) {
        Acc v = *x;
        for (auto& s : stages) {
            const Acc y = s.b0 * v + s.z0;
            s.z0 = s.b1 * v - s.a1 * y + s.z1;
            s.z1 = s.b2 * v - s.a2 * y;
            v = y;
        }
        *x = v;
    }
}

template <std::size_t... Ns>
void run_pass(std::vector<Stage>& stages, Acc* x, std::ptrdiff_t n, std::ptrdiff_t step,
              std::index_sequence<Ns...>) {
    const bool done = ((stages.size() == Ns + 1 &&
                        (run_fixed<Ns + 1>(stages.data(), x, n, step), true)) || ...);
    if (!done) run_any(stages, x, n, step);
}

void start_states(std::vector<Stage>& stages, const std::vector<std::array<Acc, 2>>& zi, Acc x0) {
    for (std::size_t i = 0; i < stages.size(); ++i) {
        stages[i].z0 = zi[i][0] * x0;
        stages[i].z1 = zi[i][1] * x0;
    }
}

std::size_t edge_for(std::size_t sections, std::size_t first_order_sections) {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    if (sections > kMax / 6 - 1) return kMax;  // no input can be that long anyway
    return 3 * (2 * sections + 1 - first_order_sections);
}

void require_longer_than_pad(std::size_t len, std::size_t edge) {
    if (len <= edge)
        throw SignalArgumentError(fmt::format(
            "the input must be longer than the pad length of the filter: {} values given, pad length {}",
            len, edge));
}

}  // namespace

std::size_t pad_length(const SosDesign& sos) {
    const auto b2_zero = std::count_if(sos.begin(), sos.end(), [](const Section& s) { return s.b2 == 0.0f; });
    const auto a2_zero = std::count_if(sos.begin(), sos.end(), [](const Section& s) { return s.a2 == 0.0f; });
    return edge_for(sos.size(), static_cast<std::size_t>(std::min(b2_zero, a2_zero)));
}

std::size_t pad_length(BandKind kind, std::uint64_t order) {
    // Order 0 is the plain (1, 0, 0, 1, 0, 0) section; an odd low-pass or
    // high-pass ends in one first-order section.
    const bool band = kind == BandKind::BandPass || kind == BandKind::BandStop;
    const std::size_t first_order = (order == 0 || (!band && order % 2 == 1)) ? 1 : 0;
    return edge_for(section_count(kind, order), first_order);
}

std::vector<float> zero_phase_filter(std::span<const float> data, const SosDesign& sos) {
    const std::size_t edge = pad_length(sos);
    const std::size_t len = data.size();
    require_longer_than_pad(len, edge);

    // Odd extension: edge reflected values on each side, mirrored through the end points.
    std::vector<Acc> ext(len + 2 * edge);
    const Acc first = data[0], last = data[len - 1];
    for (std::size_t i = 0; i < edge; ++i) {
        ext[i] = 2.0 * first - data[edge - i];
        ext[edge + len + i] = 2.0 * last - data[len - 2 - i];
    }
    std::copy(data.begin(), data.end(), ext.begin() + static_cast<std::ptrdiff_t>(edge));

    // Designed sections have a0 = 1, which the recursion relies on.
    std::vector<Stage> stages(sos.size());
    for (std::size_t i = 0; i < sos.size(); ++i)
        stages[i] = {sos[i].b0, sos[i].b1, sos[i].b2, sos[i].a1, sos[i].a2, 0.0, 0.0};
    const auto zi = cascade_steady_state(stages);

    const auto n = static_cast<std::ptrdiff_t>(ext.size());
    constexpr auto unrolled = std::make_index_sequence<8>{};
    start_states(stages, zi, ext.front());
    run_pass(stages, ext.data(), n, 1, unrolled);
    start_states(stages, zi, ext.back());
    run_pass(stages, ext.data() + n - 1, n, -1, unrolled);

    std::vector<float> out(len);
    for (std::size_t i = 0; i < len; ++i) out[i] = static_cast<float>(ext[edge + i]);
    return out;
}

std::vector<float> butterworth_filter(std::span<const float> data, BandKind kind,
                                      std::uint64_t order, CutOffs cut, float fs) {
    check_cut_offs(kind, cut, fs);
    // Refuse short input before building a design whose size grows with the order.
    const std::size_t edge = pad_length(kind, order);
    require_longer_than_pad(data.size(), edge);
    return zero_phase_filter(data, design_butterworth(kind, order, cut, fs));
}

}  // namespace kx::data_handler
