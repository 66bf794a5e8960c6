#include "data_handler/butterworth.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "data_handler/signal_error.hpp"
#include "utils/float_text.hpp"

namespace kx::data_handler {
namespace {

// The whole design runs in double. In float32 the poles of small normalised
// cut-offs crowd z = 1 and merge with it (1 + a1 + a2 rounds to 0: the
// steady-state start divides by zero), and near Nyquist the gain underflows;
// double keeps them apart down to a normalised cut-off of about 1e-7.
using Complex = std::complex<double>;
using Roots = std::vector<Complex>;

struct Zpk {
    Roots z;
    Roots p;
    double k;
};

constexpr double kPi = std::numbers::pi;
// Tolerance of the pairing step for telling real roots and conjugates apart.
constexpr double kRealTol = 100.0 * std::numeric_limits<double>::epsilon();

bool is_real(Complex c) { return c.imag() == 0.0; }

// prod(shift + sign·r)
Complex prod_shifted(const Roots& r, double shift, double sign) {
    Complex acc{1.0, 0.0};
    for (const auto& v : r) acc *= shift + sign * v;
    return acc;
}

std::size_t degree_of(const Zpk& f) { return f.p.size() - f.z.size(); }

Zpk butter_prototype(std::uint64_t order) {
    Zpk f{{}, {}, 1.0};
    f.p.reserve(order);
    const auto n = static_cast<std::int64_t>(order);
    for (std::int64_t m = -n + 1; m < n; m += 2) {
        const double theta = kPi * static_cast<double>(m) / static_cast<double>(2 * n);
        f.p.push_back(-std::exp(Complex(0.0, theta)));
    }
    return f;
}

Zpk lowpass_to_lowpass(Zpk f, double wo) {
    const auto degree = degree_of(f);
    for (auto& z : f.z) z *= wo;
    for (auto& p : f.p) p *= wo;
    f.k *= std::pow(wo, static_cast<double>(degree));
    return f;
}

Zpk lowpass_to_highpass(Zpk f, double wo) {
    const auto degree = degree_of(f);
    const double gain = (prod_shifted(f.z, 0.0, -1.0) / prod_shifted(f.p, 0.0, -1.0)).real();
    for (auto& z : f.z) z = wo / z;
    for (auto& p : f.p) p = wo / p;
    f.z.insert(f.z.end(), degree, Complex(0.0, 0.0));
    f.k *= gain;
    return f;
}

// Each root r becomes the two roots r ± sqrt(r² − wo²), first all "+" then all "−".
Roots split_around(const Roots& r, double wo) {
    Roots out(2 * r.size());
    for (std::size_t i = 0; i < r.size(); ++i) {
        const Complex s = std::sqrt(r[i] * r[i] - wo * wo);
        out[i] = r[i] + s;
        out[r.size() + i] = r[i] - s;
    }
    return out;
}

Zpk lowpass_to_bandpass(Zpk f, double wo, double bw) {
    const auto degree = degree_of(f);
    for (auto& z : f.z) z = z * bw / 2.0;
    for (auto& p : f.p) p = p * bw / 2.0;
    Zpk out{split_around(f.z, wo), split_around(f.p, wo), f.k * std::pow(bw, static_cast<double>(degree))};
    out.z.insert(out.z.end(), degree, Complex(0.0, 0.0));
    return out;
}

Zpk lowpass_to_bandstop(Zpk f, double wo, double bw) {
    const auto degree = degree_of(f);
    const double gain = (prod_shifted(f.z, 0.0, -1.0) / prod_shifted(f.p, 0.0, -1.0)).real();
    for (auto& z : f.z) z = (bw / 2.0) / z;
    for (auto& p : f.p) p = (bw / 2.0) / p;
    Zpk out{split_around(f.z, wo), split_around(f.p, wo), f.k * gain};
    out.z.insert(out.z.end(), degree, Complex(0.0, wo));
    out.z.insert(out.z.end(), degree, Complex(0.0, -wo));
    return out;
}

Zpk bilinear(Zpk f) {
    constexpr double fs2 = 4.0;  // 2 * fs with the normalised fs of 2
    const auto degree = degree_of(f);
    const double gain = (prod_shifted(f.z, fs2, -1.0) / prod_shifted(f.p, fs2, -1.0)).real();
    for (auto& z : f.z) z = (fs2 + z) / (fs2 - z);
    for (auto& p : f.p) p = (fs2 + p) / (fs2 - p);
    f.z.insert(f.z.end(), degree, Complex(-1.0, 0.0));
    f.k *= gain;
    return f;
}

// One of each conjugate pair (positive imaginary part, pair averaged) sorted by
// real part, followed by the real roots in ascending order.
Roots conjugate_halves_then_reals(Roots r) {
    std::stable_sort(r.begin(), r.end(), [](Complex a, Complex b) {
        if (a.real() != b.real()) return a.real() < b.real();
        return std::abs(a.imag()) < std::abs(b.imag());
    });
    Roots reals, positive, negative;
    for (const auto& v : r) {
        if (std::abs(v.imag()) <= kRealTol * std::abs(v)) reals.emplace_back(v.real(), 0.0);
        else if (v.imag() > 0) positive.push_back(v);
        else negative.push_back(v);
    }
    if (positive.size() != negative.size())
        throw std::logic_error("filter design holds a complex root without its conjugate");
    // Within runs of (nearly) equal real part, order by the imaginary part.
    auto sort_runs = [](Roots& half, const Roots& ref) {
        std::size_t start = 0;
        while (start < half.size()) {
            std::size_t stop = start + 1;
            while (stop < half.size() &&
                   ref[stop].real() - ref[stop - 1].real() <= kRealTol * std::abs(ref[stop - 1]))
                ++stop;
            std::stable_sort(half.begin() + static_cast<std::ptrdiff_t>(start),
                             half.begin() + static_cast<std::ptrdiff_t>(stop),
                             [](Complex a, Complex b) { return std::abs(a.imag()) < std::abs(b.imag()); });
            start = stop;
        }
    };
    const Roots ref = positive;
    sort_runs(positive, ref);
    sort_runs(negative, ref);
    Roots out;
    out.reserve(r.size());
    for (std::size_t i = 0; i < positive.size(); ++i)
        out.push_back((positive[i] + std::conj(negative[i])) / 2.0);
    out.insert(out.end(), reals.begin(), reals.end());
    return out;
}

// Index of the root closest to the unit circle (first on ties).
std::size_t index_of_worst(const Roots& r, bool reals_only) {
    std::size_t best = r.size();
    double best_distance = 0.0;
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (reals_only && !is_real(r[i])) continue;
        const double d = std::abs(1.0 - std::abs(r[i]));
        if (best == r.size() || d < best_distance) {
            best = i;
            best_distance = d;
        }
    }
    return best;
}

enum class Want { Any, Real, Complex };

// Index of the root of `from` nearest to `to` that has the wanted kind.
std::size_t index_of_nearest(const Roots& from, Complex to, Want want) {
    std::size_t best = from.size();
    double best_distance = 0.0;
    for (std::size_t i = 0; i < from.size(); ++i) {
        if (want == Want::Real && !is_real(from[i])) continue;
        if (want == Want::Complex && is_real(from[i])) continue;
        const double d = std::abs(from[i] - to);
        if (best == from.size() || d < best_distance) {
            best = i;
            best_distance = d;
        }
    }
    if (best == from.size()) throw std::logic_error("filter design ran out of zeros to pair");
    return best;
}

Complex take(Roots& r, std::size_t index) {
    const Complex v = r[index];
    r.erase(r.begin() + static_cast<std::ptrdiff_t>(index));
    return v;
}

// Coefficients of the monic polynomial with the given roots (at most two),
// right-aligned into three slots as SciPy's sections hold them.
void poly_into(const Roots& roots, double& c0, double& c1, double& c2) {
    Complex c[3] = {1.0, 0.0, 0.0};
    std::size_t len = 1;
    for (const auto& r : roots) {
        for (std::size_t i = len; i > 0; --i) c[i] -= r * c[i - 1];
        ++len;
    }
    double out[3] = {0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < len; ++i) out[3 - len + i] = c[i].real();
    c0 = out[0];
    c1 = out[1];
    c2 = out[2];
}

Section single_section(const Roots& zeros, const Roots& poles) {
    Section s{};
    poly_into(zeros, s.b0, s.b1, s.b2);
    poly_into(poles, s.a0, s.a1, s.a2);
    return s;
}

bool all_finite(const Roots& r) {
    return std::all_of(r.begin(), r.end(), [](Complex c) {
        return std::isfinite(c.real()) && std::isfinite(c.imag());
    });
}

[[noreturn]] void refuse_design(const char* why) {
    throw SignalArgumentError(fmt::format("the filter design for these cut-offs is not usable: {}", why));
}

using Sections = std::vector<Section>;

Sections zpk_to_sos_nearest(Zpk f) {
    if (f.z.empty() && f.p.empty()) return {Section{f.k, 0.0, 0.0, 1.0, 0.0, 0.0}};
    if (!all_finite(f.z) || !all_finite(f.p) || !std::isfinite(f.k)) refuse_design("a pole, zero or the gain is not finite");

    Roots& z = f.z;
    Roots& p = f.p;
    if (z.size() < p.size()) z.resize(p.size(), Complex(0.0, 0.0));
    if (p.size() < z.size()) p.resize(z.size(), Complex(0.0, 0.0));
    const std::size_t n_sections = (p.size() + 1) / 2;
    if (p.size() % 2 == 1) {
        p.emplace_back(0.0, 0.0);
        z.emplace_back(0.0, 0.0);
    }
    z = conjugate_halves_then_reals(std::move(z));
    p = conjugate_halves_then_reals(std::move(p));
    auto count_real = [](const Roots& r) {
        return static_cast<std::size_t>(std::count_if(r.begin(), r.end(), is_real));
    };

    Sections sos(n_sections);
    for (std::size_t si = n_sections; si-- > 0;) {
        const Complex p1 = take(p, index_of_worst(p, false));
        if (is_real(p1) && count_real(p) == 0) {
            // Last real pole: a first-order section.
            const Complex z1 = take(z, index_of_nearest(z, p1, Want::Real));
            sos[si] = single_section({z1, 0.0}, {p1, 0.0});
        } else if (p.size() + 1 == z.size() && !is_real(p1) && count_real(p) == 1 &&
                   count_real(z) == 1) {
            // One real pole and one real zero must stay together for the end.
            const Complex z1 = take(z, index_of_nearest(z, p1, Want::Complex));
            sos[si] = single_section({z1, std::conj(z1)}, {p1, std::conj(p1)});
        } else {
            Complex p2;
            if (is_real(p1)) p2 = take(p, index_of_worst(p, true));
            else p2 = std::conj(p1);
            if (z.empty()) {
                sos[si] = single_section({}, {p1, p2});
                continue;
            }
            const Complex z1 = take(z, index_of_nearest(z, p1, Want::Any));
            if (!is_real(z1)) {
                sos[si] = single_section({z1, std::conj(z1)}, {p1, p2});
            } else if (!z.empty()) {
                const Complex z2 = take(z, index_of_nearest(z, p1, Want::Real));
                sos[si] = single_section({z1, z2}, {p1, p2});
            } else {
                sos[si] = single_section({z1}, {p1, p2});
            }
        }
    }
    sos[0].b0 *= f.k;
    sos[0].b1 *= f.k;
    sos[0].b2 *= f.k;
    return sos;
}

// Refuses a design the recursion cannot run: every section must be finite and
// have its poles strictly inside the unit circle (|a2| < 1 and |a1| < 1 + a2),
// and the gain must not have vanished.
void require_usable(const Sections& sos) {
    for (const auto& s : sos) {
        const double c[] = {s.b0, s.b1, s.b2, s.a1, s.a2};
        if (!std::all_of(std::begin(c), std::end(c), [](double v) { return std::isfinite(v); }))
            refuse_design("a coefficient is not finite");
        if (!(std::abs(s.a2) < 1.0 && std::abs(s.a1) < 1.0 + s.a2))
            refuse_design("a pole lies on or outside the unit circle");
    }
    if (sos[0].b0 == 0.0 && sos[0].b1 == 0.0 && sos[0].b2 == 0.0) refuse_design("the gain is zero");
}

bool is_band(BandKind kind) { return kind == BandKind::BandPass || kind == BandKind::BandStop; }

// Normalised cut-offs 2·w / fs of the 32-bit arguments, in double.
std::pair<double, double> normalised(BandKind kind, CutOffs cut, float fs) {
    const double low = cut.low, high = is_band(kind) ? cut.high : cut.low, rate = fs;
    return {(low + low) / rate, (high + high) / rate};
}

}  // namespace

void check_cut_offs(BandKind kind, CutOffs cut, float fs) {
    const auto [wn0, wn1] = normalised(kind, cut, fs);
    if (wn0 <= 0.0 || wn1 <= 0.0)
        throw SignalArgumentError("filter critical frequencies must be greater than 0");
    if (is_band(kind) && wn0 >= wn1) throw SignalArgumentError("Wn[0] must be less than Wn[1]");
    if (wn0 >= 1.0 || wn1 >= 1.0) {
        auto text = [](float v) {  // whole rates bare: fs=250
            std::string t;
            utils::append_plain_float(t, v, utils::WholeValues::Bare);
            return t;
        };
        throw SignalArgumentError(
            fmt::format("Digital filter critical frequencies must be 0 < Wn < fs/2 (fs={} -> fs/2={})",
                        text(fs), text(fs * 0.5f)));
    }
    // NaN passes every comparison above; a NaN design is meaningless.
    if (std::isnan(wn0) || std::isnan(wn1))
        throw SignalArgumentError("filter critical frequencies and the sampling rate must not be NaN");
}

std::uint64_t section_count(BandKind kind, std::uint64_t order) {
    if (order == 0) return 1;
    if (is_band(kind)) return order;
    return order / 2 + order % 2;
}

SosDesign design_butterworth(BandKind kind, std::uint64_t order, CutOffs cut, float fs) {
    check_cut_offs(kind, cut, fs);
    const auto [wn0, wn1] = normalised(kind, cut, fs);
    // Pre-warp for the bilinear transform with a normalised fs of 2.
    auto warp = [](double wn) { return 2.0 * 2.0 * std::tan(kPi * wn / 2.0); };
    const double warped0 = warp(wn0);

    Zpk f = butter_prototype(order);
    switch (kind) {
        case BandKind::LowPass: f = lowpass_to_lowpass(std::move(f), warped0); break;
        case BandKind::HighPass: f = lowpass_to_highpass(std::move(f), warped0); break;
        case BandKind::BandPass:
        case BandKind::BandStop: {
            const double warped1 = warp(wn1);
            const double bw = warped1 - warped0;
            const double wo = std::sqrt(warped0 * warped1);
            f = kind == BandKind::BandPass ? lowpass_to_bandpass(std::move(f), wo, bw)
                                           : lowpass_to_bandstop(std::move(f), wo, bw);
            break;
        }
    }
    Sections sos = zpk_to_sos_nearest(bilinear(std::move(f)));
    require_usable(sos);
    return {kind, order, std::move(sos)};
}

}  // namespace kx::data_handler
