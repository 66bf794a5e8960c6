// Text layouts of the shortest round-trip digits of a 32-bit float.
#pragma once

#include <string>

namespace kx::utils {

// JSON: 1.0, 1500.0, 12.34, 0.000001, 1e13, 1.5e-7; NaN and infinities as null.
void append_json_float(std::string& out, float value);

// Debug: plain decimal for magnitudes in [1e-4, 1e16) and zero (1.0, -0.0,
// 123456790.0), exponent form otherwise (1e-5, 1.5e16); NaN, inf, -inf.
void append_debug_float(std::string& out, float value);

// What a whole value of the plain layout ends with.
enum class WholeValues : bool { Bare, PointZero };

// Plain decimal at every magnitude, never an exponent (0.0000001, 12.5,
// 100000000000000000000); whole values as 250 or 250.0 by `whole`; NaN, inf, -inf.
void append_plain_float(std::string& out, float value, WholeValues whole);

}  // namespace kx::utils
