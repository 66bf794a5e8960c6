// Butterworth design, zero-phase filtering and mains-noise removal.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "data_handler/butterworth.hpp"
#include "data_handler/env_noise.hpp"
#include "data_handler/filter.hpp"
#include "data_handler/signal_error.hpp"

namespace dh = kx::data_handler;
using dh::BandKind;

namespace {

constexpr float kPiF = std::numbers::pi_v<float>;

// |H(e^{iω})| of a cascade, evaluated in double.
double magnitude(const dh::SosDesign& sos, double f, double fs) {
    const std::complex<double> z = std::polar(1.0, 2.0 * std::numbers::pi * f / fs);
    std::complex<double> h = 1.0;
    for (const auto& s : sos) {
        const auto zi = 1.0 / z;
        h *= (double(s.b0) + double(s.b1) * zi + double(s.b2) * zi * zi) /
             (double(s.a0) + double(s.a1) * zi + double(s.a2) * zi * zi);
    }
    return std::abs(h);
}

std::vector<float> sine(std::size_t n, float freq, float fs, float amp = 1.0f) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = amp * std::sin(2.0f * kPiF * freq * float(i) / fs);
    return x;
}

std::string error_text(auto&& call) {
    try {
        call();
    } catch (const dh::SignalArgumentError& e) {
        return e.what();
    }
    return "<no error>";
}

void expect_sections_near(const dh::SosDesign& got, const std::vector<dh::Section>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        const float g[6] = {got[i].b0, got[i].b1, got[i].b2, got[i].a0, got[i].a1, got[i].a2};
        const float w[6] = {want[i].b0, want[i].b1, want[i].b2, want[i].a0, want[i].a1, want[i].a2};
        for (int c = 0; c < 6; ++c) EXPECT_NEAR(g[c], w[c], 2e-5f * (1.0f + std::abs(w[c]))) << "section " << i << " coef " << c;
    }
}

}  // namespace

// Reference sections from scipy.signal.butter(..., output='sos').
TEST(ButterworthDesign, MatchesReferenceSections) {
    expect_sections_near(dh::design_butterworth(BandKind::HighPass, 4, {1.0f, 0.0f}, 250.0f),
                         {{0.967694809f, -1.93538962f, 0.967694809f, 1.0f, -1.95400196f, 0.954619251f},
                          {1.0f, -2.0f, 1.0f, 1.0f, -1.98032386f, 0.980949464f}});
    expect_sections_near(dh::design_butterworth(BandKind::LowPass, 3, {40.0f, 0.0f}, 250.0f),
                         {{0.0578903754f, 0.115780751f, 0.0578903754f, 1.0f, -0.290526857f, 0.0f},
                          {1.0f, 1.0f, 0.0f, 1.0f, -0.753537298f, 0.406307608f}});
    expect_sections_near(dh::design_butterworth(BandKind::BandPass, 2, {1.0f, 40.0f}, 250.0f),
                         {{0.139582562f, 0.279165125f, 0.139582562f, 1.0f, -0.700072741f, 0.269371056f},
                          {1.0f, -2.0f, 1.0f, 1.0f, -1.96450823f, 0.965157109f}});
    expect_sections_near(dh::design_butterworth(BandKind::BandStop, 2, {49.0f, 51.0f}, 250.0f),
                         {{0.965080986f, -0.596641277f, 0.965080986f, 1.0f, -0.573965218f, 0.964882976f},
                          {1.0f, -0.618229232f, 1.0f, 1.0f, -0.640528262f, 0.965279422f}});
}

TEST(ButterworthDesign, OrderZeroIsIdentitySection) {
    for (auto kind : {BandKind::LowPass, BandKind::HighPass, BandKind::BandPass, BandKind::BandStop}) {
        const auto sos = dh::design_butterworth(kind, 0, {10.0f, 20.0f}, 100.0f);
        ASSERT_EQ(sos.size(), 1u);
        EXPECT_EQ(sos[0], (dh::Section{1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f}));
    }
}

struct DesignCase {
    BandKind kind;
    float low, high, fs;
    // frequencies where the gain must be ~1 and ~0
    float pass, stop;
};

class ButterworthShape : public ::testing::TestWithParam<std::tuple<DesignCase, int>> {};

TEST_P(ButterworthShape, SectionCountPadLengthAndResponse) {
    const auto [c, order] = GetParam();
    const auto sos = dh::design_butterworth(c.kind, order, {c.low, c.high}, c.fs);
    EXPECT_EQ(sos.size(), dh::section_count(c.kind, order));
    EXPECT_EQ(dh::pad_length(sos), dh::pad_length(c.kind, order));
    for (const auto& s : sos) EXPECT_EQ(s.a0, 1.0f);
    // -3 dB at the cut-off(s), unity in the pass band, deep attenuation in the stop band.
    EXPECT_NEAR(magnitude(sos, c.pass, c.fs), 1.0, 2e-3);
    EXPECT_NEAR(magnitude(sos, c.low, c.fs), std::sqrt(0.5), 2e-3);
    if (c.kind == BandKind::BandPass || c.kind == BandKind::BandStop) {
        EXPECT_NEAR(magnitude(sos, c.high, c.fs), std::sqrt(0.5), 2e-3);
    }
    EXPECT_LT(magnitude(sos, c.stop, c.fs), order >= 4 ? 1e-2 : 0.2);
}

INSTANTIATE_TEST_SUITE_P(
    KindsAndOrders, ButterworthShape,
    ::testing::Combine(::testing::Values(DesignCase{BandKind::LowPass, 20.0f, 0.0f, 250.0f, 0.0f, 100.0f},
                                         DesignCase{BandKind::HighPass, 20.0f, 0.0f, 250.0f, 125.0f, 2.0f},
                                         DesignCase{BandKind::BandPass, 10.0f, 40.0f, 500.0f, 20.0f, 150.0f},
                                         DesignCase{BandKind::BandStop, 45.0f, 55.0f, 1000.0f, 5.0f, 50.0f}),
                       ::testing::Range(1, 9)));

TEST(ButterworthDesign, CutOffChecksInOrderWithTexts) {
    auto design = [](BandKind k, float lo, float hi, float fs) {
        return error_text([&] { dh::design_butterworth(k, 4, {lo, hi}, fs); });
    };
    EXPECT_EQ(design(BandKind::LowPass, 0.0f, 0.0f, 250.0f), "filter critical frequencies must be greater than 0");
    EXPECT_EQ(design(BandKind::BandPass, 10.0f, 20.0f, -250.0f), "filter critical frequencies must be greater than 0");
    EXPECT_EQ(design(BandKind::BandPass, 30.0f, 20.0f, 250.0f), "Wn[0] must be less than Wn[1]");
    EXPECT_EQ(design(BandKind::HighPass, 130.0f, 0.0f, 250.0f),
              "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=250 -> fs/2=125)");
    EXPECT_EQ(design(BandKind::LowPass, 10.0f, 0.0f, 0.0f),
              "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=0 -> fs/2=0)");
    EXPECT_EQ(design(BandKind::BandStop, 59.0f, 61.0f, 120.5f),
              "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=120.5 -> fs/2=60.25)");
    EXPECT_EQ(design(BandKind::LowPass, 1e30f, 0.0f, 1e20f),
              "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=100000000000000000000 -> "
              "fs/2=50000000000000000000)");
    EXPECT_NE(design(BandKind::LowPass, NAN, 0.0f, 250.0f).find("NaN"), std::string::npos);
    EXPECT_NE(design(BandKind::BandPass, 1.0f, 10.0f, NAN).find("NaN"), std::string::npos);
}

TEST(ZeroPhaseFilter, MinimumLengths) {
    struct Case { BandKind kind; int order; std::size_t min_len; };
    for (const Case c : {Case{BandKind::LowPass, 4, 16}, Case{BandKind::HighPass, 3, 13},
                         Case{BandKind::BandPass, 4, 28}, Case{BandKind::BandStop, 1, 10},
                         Case{BandKind::LowPass, 0, 7}, Case{BandKind::BandPass, 0, 7}}) {
        const std::vector<float> ok(c.min_len, 1.0f), short_by_one(c.min_len - 1, 1.0f);
        EXPECT_EQ(dh::butterworth_filter(ok, c.kind, c.order, {10.0f, 20.0f}, 100.0f).size(), c.min_len);
        const auto text = error_text([&] { dh::butterworth_filter(short_by_one, c.kind, c.order, {10.0f, 20.0f}, 100.0f); });
        EXPECT_NE(text.find("longer than the pad length"), std::string::npos) << text;
        EXPECT_NE(text.find(std::to_string(c.min_len - 1)), std::string::npos) << text;
    }
    EXPECT_NE(error_text([] { dh::butterworth_filter({}, BandKind::LowPass, 2, {10.0f, 0.0f}, 100.0f); }), "<no error>");
}

TEST(ZeroPhaseFilter, HugeOrderOnShortDataIsRefusedBeforeDesign) {
    const std::vector<float> x(100, 0.5f);
    const auto text = error_text([&] { dh::butterworth_filter(x, BandKind::BandPass, 1ull << 62, {1.0f, 2.0f}, 10.0f); });
    EXPECT_NE(text.find("longer than the pad length"), std::string::npos) << text;
}

TEST(ZeroPhaseFilter, OrderZeroReturnsInput) {
    const auto x = sine(50, 3.0f, 100.0f, 2.5f);
    EXPECT_EQ(dh::butterworth_filter(x, BandKind::BandStop, 0, {10.0f, 20.0f}, 100.0f), x);
}

TEST(ZeroPhaseFilter, ConstantInputStaysConstantThroughLowPass) {
    for (int order = 1; order <= 8; ++order) {
        const std::vector<float> x(200, 3.25f);
        const auto y = dh::butterworth_filter(x, BandKind::LowPass, order, {5.0f, 0.0f}, 250.0f);
        for (float v : y) ASSERT_NEAR(v, 3.25f, 3.25f * 1e-4f) << "order " << order;
    }
}

TEST(ZeroPhaseFilter, KeepsPassBandWithoutPhaseShiftAndRemovesStopBand) {
    const float fs = 250.0f;
    const auto slow = sine(2000, 5.0f, fs), fast = sine(2000, 60.0f, fs);
    std::vector<float> mix(slow.size());
    for (std::size_t i = 0; i < mix.size(); ++i) mix[i] = slow[i] + fast[i];
    const auto y = dh::butterworth_filter(mix, BandKind::LowPass, 6, {20.0f, 0.0f}, fs);
    double worst = 0;
    for (std::size_t i = 200; i < 1800; ++i) worst = std::max(worst, double(std::abs(y[i] - slow[i])));
    EXPECT_LT(worst, 2e-3);
}

TEST(EnvNoise, DefaultRemovesBothAndSettingSwitches) {
    const float fs = 250.0f;
    const auto hum50 = sine(1000, 50.0f, fs), hum60 = sine(1000, 60.0f, fs), keep = sine(1000, 10.0f, fs);
    auto rms_mid = [](const std::vector<float>& v) {
        double acc = 0;
        for (std::size_t i = 250; i < 750; ++i) acc += double(v[i]) * v[i];
        return std::sqrt(acc / 500);
    };
    // Initial setting: 50 and 60 Hz at 250 Hz.
    EXPECT_LT(rms_mid(dh::remove_env_noise(hum50)), 0.01);
    EXPECT_LT(rms_mid(dh::remove_env_noise(hum60)), 0.01);
    EXPECT_NEAR(rms_mid(dh::remove_env_noise(keep)), std::sqrt(0.5), 0.01);

    dh::set_env_noise_config(dh::NoiseTypes::FIFTY, fs);
    EXPECT_LT(rms_mid(dh::remove_env_noise(hum50)), 0.01);
    EXPECT_GT(rms_mid(dh::remove_env_noise(hum60)), 0.6);

    // A failing redesign keeps the previous choice and filters.
    const auto before = dh::env_noise_config();
    EXPECT_EQ(error_text([] { dh::set_env_noise_config(dh::NoiseTypes::SIXTY, 122.0f); }),
              "Digital filter critical frequencies must be 0 < Wn < fs/2 (fs=122 -> fs/2=61)");
    const auto after = dh::env_noise_config();
    EXPECT_EQ(after.noise_type, dh::NoiseTypes::FIFTY);
    EXPECT_EQ(after.fifty_hz, before.fifty_hz);
    EXPECT_EQ(after.sixty_hz, before.sixty_hz);

    dh::set_env_noise_config(dh::NoiseTypes::SIXTY, 500.0f);
    EXPECT_EQ(dh::env_noise_config().sixty_hz,
              dh::design_butterworth(BandKind::BandStop, 4, {59.0f, 61.0f}, 500.0f));
    EXPECT_EQ(dh::remove_env_noise(std::vector<float>(28, 1.0f)).size(), 28u);
    EXPECT_NE(error_text([] { dh::remove_env_noise(std::vector<float>(27, 1.0f)); }), "<no error>");
    dh::set_env_noise_config(dh::NoiseTypes::FIFTY_AND_SIXTY, 250.0f);
}

TEST(EnvNoise, ConcurrentSettingAndFilteringSeeWholeSettings) {
    const auto x = sine(400, 50.0f, 250.0f);
    dh::set_env_noise_config(dh::NoiseTypes::FIFTY, 250.0f);
    const auto fifty = dh::remove_env_noise(x);
    dh::set_env_noise_config(dh::NoiseTypes::SIXTY, 500.0f);
    const auto sixty = dh::remove_env_noise(x);
    ASSERT_NE(fifty, sixty);

    std::atomic<bool> stop{false};
    std::thread setter([&] {
        for (int i = 0; i < 200; ++i) {
            dh::set_env_noise_config(i % 2 ? dh::NoiseTypes::SIXTY : dh::NoiseTypes::FIFTY, i % 2 ? 500.0f : 250.0f);
        }
        stop = true;
    });
    std::vector<std::thread> readers;
    std::atomic<int> mixed{0};
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop) {
                const auto y = dh::remove_env_noise(x);
                if (y != fifty && y != sixty) ++mixed;
            }
        });
    }
    setter.join();
    for (auto& t : readers) t.join();
    EXPECT_EQ(mixed.load(), 0);
    dh::set_env_noise_config(dh::NoiseTypes::FIFTY_AND_SIXTY, 250.0f);
}
