// Processing choices of the signal functions.
#pragma once

#include <array>
#include <cstdint>

#include "utils/enum_table.hpp"

namespace kx::data_handler {

enum class NoiseTypes : std::uint8_t { FIFTY = 0, SIXTY = 1, FIFTY_AND_SIXTY = 2 };

inline constexpr std::array<utils::EnumVariant, 3> kNoiseTypesVariants{{
    {"FIFTY", 0}, {"SIXTY", 1}, {"FIFTY_AND_SIXTY", 2},
}};
inline constexpr utils::EnumTable kNoiseTypesTable{"NoiseTypes", kNoiseTypesVariants};

enum class DownsamplingOperations : std::uint8_t {
    Mean = 0, Median = 1, Max = 2, Min = 3, Sum = 4, First = 5, Last = 6, Extremes = 7,
};

inline constexpr std::array<utils::EnumVariant, 8> kDownsamplingOperationsVariants{{
    {"Mean", 0}, {"Median", 1}, {"Max", 2}, {"Min", 3},
    {"Sum", 4}, {"First", 5}, {"Last", 6}, {"Extremes", 7},
}};
inline constexpr utils::EnumTable kDownsamplingOperationsTable{"DownsamplingOperations",
                                                               kDownsamplingOperationsVariants};

}  // namespace kx::data_handler
