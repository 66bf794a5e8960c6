// Acquisition settings of the EEG cap; codes are the values its messages carry.
#pragma once

#include <array>
#include <cstdint>

#include "utils/enum_table.hpp"

namespace kx::proto::eeg_cap {

inline constexpr std::array<utils::EnumVariant, 8> kEegSampleRateVariants{{
    {"SR_None", 0}, {"SR_250Hz", 111}, {"SR_500Hz", 95}, {"SR_1000Hz", 79},
    {"SR_2000Hz", 63}, {"SR_4000Hz", 47}, {"SR_8000Hz", 31}, {"SR_16000Hz", 15},
}};
inline constexpr utils::EnumTable kEegSampleRateTable{"EegSampleRate", kEegSampleRateVariants};

inline constexpr std::array<utils::EnumVariant, 8> kEegSignalGainVariants{{
    {"GAIN_NONE", 0}, {"GAIN_1", 15}, {"GAIN_2", 31}, {"GAIN_4", 47},
    {"GAIN_6", 63}, {"GAIN_8", 79}, {"GAIN_12", 95}, {"GAIN_24", 111},
}};
inline constexpr utils::EnumTable kEegSignalGainTable{"EegSignalGain", kEegSignalGainVariants};

inline constexpr std::array<utils::EnumVariant, 5> kEegSignalSourceVariants{{
    {"SIGNAL_NONE", 0}, {"NORMAL", 15}, {"SHORTED", 31}, {"MVDD", 63}, {"TEST_SIGNAL", 95},
}};
inline constexpr utils::EnumTable kEegSignalSourceTable{"EegSignalSource", kEegSignalSourceVariants};

inline constexpr std::array<utils::EnumVariant, 3> kImuSampleRateVariants{{
    {"SR_NONE", 0}, {"SR_50Hz", 1}, {"SR_100Hz", 2},
}};
inline constexpr utils::EnumTable kImuSampleRateTable{"ImuSampleRate", kImuSampleRateVariants};

inline constexpr std::array<utils::EnumVariant, 10> kWiFiSecurityVariants{{
    {"SECURITY_NONE", 0}, {"SECURITY_OPEN", 1}, {"SECURITY_WPA2_AES_PSK", 2},
    {"SECURITY_WPA2_TKIP_PSK", 3}, {"SECURITY_WPA2_MIXED_PSK", 4},
    {"SECURITY_WPA_WPA2_TKIP_PSK", 5}, {"SECURITY_WPA_WPA2_AES_PSK", 6},
    {"SECURITY_WPA_WPA2_MIXED_PSK", 7}, {"SECURITY_WPA3_AES_PSK", 8},
    {"SECURITY_WPA2_WPA3_MIXED", 9},
}};
inline constexpr utils::EnumTable kWiFiSecurityTable{"WiFiSecurity", kWiFiSecurityVariants};

}  // namespace kx::proto::eeg_cap
