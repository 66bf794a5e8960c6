#include "data_handler/filter.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include <fmt/format.h>

#include "data_handler/signal_error.hpp"

namespace kx::data_handler {
namespace {

// The recursion runs in double, as the design does: in float32 the round-off
// of sections with poles near z = 1 grows to percent-level errors, while
// double costs the same per step.
using Acc = double;

// A section ready for filtering, with its running state. The transposed
// direct form y = b0·x + z0; z0 = b1·x − a1·y + z1; z1 = b2·x − a2·y, with y
// substituted into the state updates so each state depends on the previous
// one through a single multiply-add: the loop-carried chain per sample
// halves, and in double the regrouping changes nothing visible in float32.
struct Stage {
    Acc b0, c1, c2, a1, a2;  // c1 = b1 − a1·b0, c2 = b2 − a2·b0
    Acc z0, z1;
};

Stage stage_of(const Section& s) {
    return {s.b0, s.b1 - s.a1 * s.b0, s.b2 - s.a2 * s.b0, s.a1, s.a2, 0.0, 0.0};
}

// Steady-state response of one section to a unit step (SciPy's lfilter_zi):
// solves (I - Aᵀ)·zi = (b1 - a1·b0, b2 - a2·b0) by LU with partial pivoting.
std::array<Acc, 2> step_steady_state(const Section& s) {
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
std::vector<std::array<Acc, 2>> cascade_steady_state(const std::vector<Section>& sections) {
    std::vector<std::array<Acc, 2>> zi(sections.size());
    Acc scale = 1.0;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const auto& s = sections[i];
        const auto unit = step_steady_state(s);
        zi[i] = {scale * unit[0], scale * unit[1]};
        scale *= (s.b0 + s.b1 + s.b2) / (1.0 + s.a1 + s.a2);
    }
    return zi;
}

// One sample through one section (the generic path for long cascades).
inline Acc step_stage(Stage& s, Acc v) {
    const Acc y = s.b0 * v + s.z0;
    const Acc z0 = (s.c1 * v + s.z1) - s.a1 * s.z0;
    s.z1 = s.c2 * v - s.a2 * s.z0;
    s.z0 = z0;
    return y;
}

// One pass over x[0..n) with stride `step` (+1 forward, -1 backward), in place.
// Cascades of up to 8 sections are unrolled with every value in a local
// scalar, so the states stay in registers instead of round-tripping memory,
// and consecutive samples overlap across the sections.
// GCC's pairing of the scalar chains into vectors only adds shuffles to the
// critical path here (about a third slower), so it is switched off.
#if defined(__GNUC__) && !defined(__clang__)
#define KX_SCALAR_CHAINS __attribute__((optimize("no-tree-slp-vectorize")))
#else
#define KX_SCALAR_CHAINS
#endif

template <std::size_t N>
KX_SCALAR_CHAINS void run_fixed(Stage* stages, Acc* x, std::ptrdiff_t n, std::ptrdiff_t step) {
    Acc b0[N], c1[N], c2[N], a1[N], a2[N], z0[N], z1[N];
    for (std::size_t k = 0; k < N; ++k) {
        b0[k] = stages[k].b0, c1[k] = stages[k].c1, c2[k] = stages[k].c2;
        a1[k] = stages[k].a1, a2[k] = stages[k].a2, z0[k] = stages[k].z0, z1[k] = stages[k].z1;
    }
    for (std::ptrdiff_t i = 0; i < n; ++i, x += step) {
        Acc v = *x;
#pragma GCC unroll 8
        for (std::size_t k = 0; k < N; ++k) {
            const Acc y = b0[k] * v + z0[k];
            const Acc next_z0 = (c1[k] * v + z1[k]) - a1[k] * z0[k];
            z1[k] = c2[k] * v - a2[k] * z0[k];
            z0[k] = next_z0;
            v = y;
        }
        *x = v;
    }
    for (std::size_t k = 0; k < N; ++k) stages[k].z0 = z0[k], stages[k].z1 = z1[k];
}

void run_any(std::vector<Stage>& stages, Acc* x, std::ptrdiff_t n, std::ptrdiff_t step) {
    for (std::ptrdiff_t i = 0; i < n; ++i, x += step) {
        Acc v = *x;
        for (auto& s : stages) v = step_stage(s, v);
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

void require_longer_than_pad(std::size_t len, unsigned __int128 edge) {
    if (len <= edge)
        throw SignalArgumentError(fmt::format(
            "the input must be longer than the pad length of the filter: {} values given, pad length {}",
            len, edge));
}

// Forward-backward filtering of x in place, `edge` samples padded at each
// end (fewer than x holds). The odd extension (mirrored through the end
// points) lives in its own small buffers, the state carrying over from one
// segment to the next.
void filter_forward_backward(std::vector<Acc>& x, const std::vector<Section>& sections, std::size_t edge) {
    const std::size_t len = x.size();
    std::vector<Acc> head(edge), tail(edge);
    for (std::size_t i = 0; i < edge; ++i) {
        head[i] = 2.0 * x[0] - x[edge - i];
        tail[i] = 2.0 * x[len - 1] - x[len - 2 - i];
    }

    // Designed sections have a0 = 1, which the recursion relies on.
    const auto zi = cascade_steady_state(sections);
    std::vector<Stage> running(sections.size());
    std::transform(sections.begin(), sections.end(), running.begin(), stage_of);

    constexpr auto unrolled = std::make_index_sequence<8>{};
    auto forward = [&](std::vector<Acc>& seg) {
        run_pass(running, seg.data(), static_cast<std::ptrdiff_t>(seg.size()), 1, unrolled);
    };
    auto backward = [&](std::vector<Acc>& seg) {
        const auto n = static_cast<std::ptrdiff_t>(seg.size());
        run_pass(running, seg.data() + n - 1, n, -1, unrolled);
    };
    start_states(running, zi, head.front());
    forward(head);
    forward(x);
    forward(tail);
    start_states(running, zi, tail.back());
    backward(tail);
    backward(x);
    backward(head);
}

}  // namespace

unsigned __int128 pad_length(BandKind kind, std::uint64_t order) {
    // 3·(2·sections + 1 − first-order sections). Order 0 is the plain
    // (1, 0, 0, 1, 0, 0) section; an odd low-pass or high-pass ends in one
    // first-order section.
    const bool band = kind == BandKind::BandPass || kind == BandKind::BandStop;
    const unsigned first_order = (order == 0 || (!band && order % 2 == 1)) ? 1 : 0;
    return 3 * (2 * static_cast<unsigned __int128>(section_count(kind, order)) + 1 - first_order);
}

std::vector<float> zero_phase_filter(std::vector<float> data,
                                     std::initializer_list<const SosDesign*> designs) {
    for (const SosDesign* sos : designs) require_longer_than_pad(data.size(), pad_length(sos->kind, sos->order));
    std::vector<Acc> x(data.begin(), data.end());
    for (const SosDesign* sos : designs)  // each pad is below data.size(): it fits
        filter_forward_backward(x, sos->sections, static_cast<std::size_t>(pad_length(sos->kind, sos->order)));
    std::copy(x.begin(), x.end(), data.begin());  // the one rounding to float32
    return data;
}

std::vector<float> butterworth_filter(std::vector<float> data, BandKind kind,
                                      std::uint64_t order, CutOffs cut, float fs) {
    check_cut_offs(kind, cut, fs);
    // Refuse short input before building a design whose size grows with the order.
    require_longer_than_pad(data.size(), pad_length(kind, order));
    const SosDesign sos = design_butterworth(kind, order, cut, fs);
    return zero_phase_filter(std::move(data), {&sos});
}

}  // namespace kx::data_handler
