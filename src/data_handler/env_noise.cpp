#include "data_handler/env_noise.hpp"

#include <mutex>
#include <utility>

#include "data_handler/filter.hpp"

namespace kx::data_handler {
namespace {

constexpr std::uint64_t kOrder = 4;
constexpr float kInitialFs = 250.0f;

EnvNoiseConfig designed_for(NoiseTypes noise_type, float fs) {
    return {noise_type,
            design_butterworth(BandKind::BandStop, kOrder, {49.0f, 51.0f}, fs),
            design_butterworth(BandKind::BandStop, kOrder, {59.0f, 61.0f}, fs)};
}

struct SharedConfig {
    std::mutex lock;
    EnvNoiseConfig config = designed_for(NoiseTypes::FIFTY_AND_SIXTY, kInitialFs);
};

SharedConfig& shared() {
    static SharedConfig instance;
    return instance;
}

}  // namespace

EnvNoiseConfig env_noise_config() {
    auto& s = shared();
    std::lock_guard guard(s.lock);
    return s.config;
}

void set_env_noise_config(NoiseTypes noise_type, float fs) {
    // Design outside the lock: a failing design leaves the setting untouched.
    EnvNoiseConfig next = designed_for(noise_type, fs);
    auto& s = shared();
    std::lock_guard guard(s.lock);
    s.config = std::move(next);
}

std::vector<float> remove_env_noise(std::vector<float> data) {
    const EnvNoiseConfig cfg = env_noise_config();
    switch (cfg.noise_type) {
        case NoiseTypes::FIFTY: return zero_phase_filter(std::move(data), {&cfg.fifty_hz});
        case NoiseTypes::SIXTY: return zero_phase_filter(std::move(data), {&cfg.sixty_hz});
        case NoiseTypes::FIFTY_AND_SIXTY: break;
    }
    return zero_phase_filter(std::move(data), {&cfg.fifty_hz, &cfg.sixty_hz});
}

}  // namespace kx::data_handler
