#include "utils/float_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

namespace kx::utils {
namespace {

// Value = 0.d1d2...dn * 10^kk, digits the shortest that read back the same.
struct ShortestDigits {
    char digits[16];
    int n = 0;
    int kk = 0;
};

ShortestDigits shortest_digits(float magnitude) {
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    // Scientific form: d[.ddd]e(+|-)xx
    ShortestDigits d;
    const char* p = buf;
    for (; p < res.ptr && *p != 'e'; ++p)
        if (*p != '.') d.digits[d.n++] = *p;
    int exp = 0;
    if (p < res.ptr) {
        ++p;
        if (*p == '+') ++p;
        std::from_chars(p, res.ptr, exp);
    }
    d.kk = exp + 1;
    return d;
}

void append_zeros(std::string& out, int count) {
    if (count > 0) out.append(static_cast<std::size_t>(count), '0');
}

void append_exponent_form(std::string& out, const ShortestDigits& d) {
    out += d.digits[0];
    if (d.n > 1) {
        out += '.';
        out.append(d.digits + 1, static_cast<std::size_t>(d.n - 1));
    }
    fmt::format_to(std::back_inserter(out), "e{}", d.kk - 1);
}

// Digits with the decimal point placed; whole values bare or with ".0".
void append_plain_form(std::string& out, const ShortestDigits& d, WholeValues whole) {
    if (d.kk <= 0) {
        out += "0.";
        append_zeros(out, -d.kk);
        out.append(d.digits, static_cast<std::size_t>(d.n));
    } else if (d.kk >= d.n) {
        out.append(d.digits, static_cast<std::size_t>(d.n));
        append_zeros(out, d.kk - d.n);
        if (whole == WholeValues::PointZero) out += ".0";
    } else {
        out.append(d.digits, static_cast<std::size_t>(d.kk));
        out += '.';
        out.append(d.digits + d.kk, static_cast<std::size_t>(d.n - d.kk));
    }
}

}  // namespace

void append_json_float(std::string& out, float value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    if (std::signbit(value)) out += '-';
    const ShortestDigits d = shortest_digits(std::fabs(value));
    if (d.kk <= 13 && d.kk > -6)
        append_plain_form(out, d, WholeValues::PointZero);
    else
        append_exponent_form(out, d);
}

void append_debug_float(std::string& out, float value) {
    const float magnitude = std::fabs(value);
    if (!std::isfinite(magnitude) || magnitude == 0.0f || (magnitude >= 1e-4f && magnitude < 1e16f)) {
        append_plain_float(out, value, WholeValues::PointZero);
        return;
    }
    if (std::signbit(value)) out += '-';
    append_exponent_form(out, shortest_digits(magnitude));
}

void append_plain_float(std::string& out, float value, WholeValues whole) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::signbit(value)) out += '-';
    const float magnitude = std::fabs(value);
    if (std::isinf(magnitude))
        out += "inf";
    else
        append_plain_form(out, shortest_digits(magnitude), whole);
}

}  // namespace kx::utils
