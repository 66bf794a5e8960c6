// Mains-noise removal: a process-wide choice of 50 Hz, 60 Hz or both, with a
// band-stop design ready for each at the current sampling rate.
#pragma once

#include <vector>

#include "data_handler/butterworth.hpp"
#include "data_handler/enums.hpp"

namespace kx::data_handler {

struct EnvNoiseConfig {
    NoiseTypes noise_type;
    SosDesign fifty_hz;  // order-4 band-stop 49..51 Hz
    SosDesign sixty_hz;  // order-4 band-stop 59..61 Hz
};

// The setting in force (initially both kinds, designed for 250 Hz).
EnvNoiseConfig env_noise_config();

// Redesigns both band-stops for fs and stores the choice. Throws
// SignalArgumentError and keeps the previous setting when a design fails.
void set_env_noise_config(NoiseTypes noise_type, float fs);

// Zero-phase filters data with the band-stop(s) of the current setting.
std::vector<float> remove_env_noise(std::vector<float> data);

}  // namespace kx::data_handler
