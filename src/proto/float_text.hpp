// Two text layouts of the shortest round-trip digits of a 32-bit float.
#pragma once

#include <string>

namespace kx::proto {

// JSON: 1.0, 1500.0, 12.34, 0.000001, 1e13, 1.5e-7; NaN and infinities as null.
void append_json_float(std::string& out, float value);

// Debug: plain decimal for magnitudes in [1e-4, 1e16) and zero (1.0, -0.0,
// 123456790.0), exponent form otherwise (1e-5, 1.5e16); NaN, inf, -inf.
void append_debug_float(std::string& out, float value);

}  // namespace kx::proto
