// fmt support for debug texts: `{}` and `{:?}` both give the text that
// `append_debug(std::string&, const T&)` writes.
#pragma once

#include <algorithm>
#include <string>

#include <fmt/format.h>

namespace kx::proto {

namespace detail {
struct DebugFormatterBase {
    constexpr auto parse(fmt::format_parse_context& ctx) {
        auto it = ctx.begin();
        if (it != ctx.end() && *it == '?') ++it;
        return it;
    }
};
}  // namespace detail

// Base of `fmt::formatter<T>` for a T of this namespace (found by ADL).
template <typename T>
struct DebugTextFormatter : detail::DebugFormatterBase {
    template <typename Ctx>
    auto format(const T& value, Ctx& ctx) const {
        std::string s;
        append_debug(s, value);
        return std::copy(s.begin(), s.end(), ctx.out());
    }
};

}  // namespace kx::proto
