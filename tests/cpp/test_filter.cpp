// Filter design and mains-noise paths that the Python tests cannot reach: the
// pad length known before designing, and settings changed concurrently.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stop_token>
#include <thread>
#include <vector>

#include "data_handler/env_noise.hpp"
#include "data_handler/filter.hpp"

namespace dh = kx::data_handler;

// The one pad length, known before designing, is the one SciPy's sosfiltfilt
// takes from the design: 3·(2·sections + 1 − min(#b2 = 0, #a2 = 0)); odd
// low-passes hold their a2 = 0 and their b2 = 0 in different sections.
TEST(ZeroPhaseFilter, PadLengthKnownBeforeDesignIsTheDesignsOwn) {
    auto scipy_pad = [](const std::vector<dh::Section>& sos) {
        std::size_t b2_zero = 0, a2_zero = 0;
        for (const auto& s : sos) b2_zero += s.b2 == 0.0, a2_zero += s.a2 == 0.0;
        return 3 * (2 * sos.size() + 1 - std::min(b2_zero, a2_zero));
    };
    for (auto kind : {dh::BandKind::LowPass, dh::BandKind::HighPass, dh::BandKind::BandPass, dh::BandKind::BandStop})
        for (std::uint64_t order = 0; order <= 12; ++order)
            EXPECT_EQ(static_cast<std::size_t>(dh::pad_length(kind, order)),
                      scipy_pad(dh::design_butterworth(kind, order, {10.0f, 30.0f}, 250.0f).sections))
                << int(kind) << " order " << order;
}

TEST(EnvNoise, ConcurrentSettingAndFilteringSeeWholeSettings) {
    std::vector<float> x(400);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.4f * 3.14159265f * float(i));  // 50 Hz at 250 Hz
    dh::set_env_noise_config(dh::NoiseTypes::FIFTY, 250.0f);
    const auto fifty = dh::remove_env_noise(x);
    dh::set_env_noise_config(dh::NoiseTypes::SIXTY, 500.0f);
    const auto sixty = dh::remove_env_noise(x);
    ASSERT_NE(fifty, sixty);

    std::atomic<int> mixed{0};
    std::vector<std::jthread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&](std::stop_token stop) {
            while (!stop.stop_requested()) {
                const auto y = dh::remove_env_noise(x);
                mixed += y != fifty && y != sixty;
            }
        });
    }
    for (int i = 0; i < 200; ++i)
        dh::set_env_noise_config(i % 2 ? dh::NoiseTypes::SIXTY : dh::NoiseTypes::FIFTY, i % 2 ? 500.0f : 250.0f);
    readers.clear();  // asks each reader to stop and joins it
    EXPECT_EQ(mixed.load(), 0);
    dh::set_env_noise_config(dh::NoiseTypes::FIFTY_AND_SIXTY, 250.0f);
}
