// Zero-phase filtering and mains-noise removal paths that the Python tests
// cannot reach: a huge order on short data and settings changed concurrently.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "data_handler/env_noise.hpp"
#include "data_handler/filter.hpp"
#include "data_handler/signal_error.hpp"

namespace dh = kx::data_handler;

TEST(ZeroPhaseFilter, HugeOrderOnShortDataIsRefusedBeforeDesign) {
    const std::vector<float> x(100, 0.5f);
    try {
        dh::butterworth_filter(x, dh::BandKind::BandPass, 1ull << 62, {1.0f, 2.0f}, 10.0f);
        FAIL() << "no error";
    } catch (const dh::SignalArgumentError& e) {
        EXPECT_NE(std::string(e.what()).find("longer than the pad length"), std::string::npos) << e.what();
    }
}

TEST(EnvNoise, ConcurrentSettingAndFilteringSeeWholeSettings) {
    std::vector<float> x(400);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(2.0f * std::numbers::pi_v<float> * 50.0f * float(i) / 250.0f);
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
