// UTF-8 validation and code point classification for text output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kx::utils {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// Decodes the code point at `pos` and advances `pos` past it; nullopt (and
// `pos` advanced by one byte) for an invalid sequence.
std::optional<char32_t> next_code_point(std::string_view text, std::size_t& pos);

// False for control, format, surrogate, private-use and unassigned code
// points, for separators other than the blank, and for non-spacing and
// enclosing combining marks: the characters debug text writes as escapes.
bool is_printable(char32_t cp);

namespace detail {
struct CodePointRange {
    char32_t first;
    char32_t last;
};
extern const CodePointRange kNotPrintable[];
extern const std::size_t kNotPrintableCount;
}  // namespace detail

}  // namespace kx::utils
