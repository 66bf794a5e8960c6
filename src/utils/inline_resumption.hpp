// The rule for continuations resumed on a waker's stack, and its check.
//
// A wait parked with Resume::InlineIfRunning (async_wait_queue.hpp) may be
// resumed inside the call that woke it: the EEG consumer runs inside the
// parser's publish, on the receive task's thread. Until that continuation
// suspends, the waker waits for it. So nothing run there may wait for the
// interpreter lock: not a log record (its handlers run under that lock), not a
// Python object, not anything Python holds. A slow log handler once stalled
// the parser this way, the raw channel overflowed and frames were cut. A
// continuation that must do such a step posts itself to its executor first.
//
// The waker marks its thread while it may run a continuation inline
// (InlineResumptionMark). The places where a thread would wait for the
// interpreter lock (the log facade's hand-off to its sink, GilGuard) call
// check_may_wait_for_python(): when the check is armed (KX_CHECK_INLINE_RULE,
// set by the build for debug, sanitizer and test builds) a breach prints what
// broke the rule and where, then aborts. The shipped module only keeps the mark.
#pragma once

#include <cstdint>
#include <source_location>
#include <string_view>

namespace kx::utils {

#ifdef KX_CHECK_INLINE_RULE
inline constexpr bool kInlineRuleChecked = true;
#else
inline constexpr bool kInlineRuleChecked = false;
#endif

namespace detail {
// How many inline resumptions the calling thread is inside (they nest: a
// continuation may itself wake another inline).
inline thread_local int t_inline_depth = 0;

[[noreturn]] void inline_rule_broken(std::string_view what, const char* file, std::uint_least32_t line);
}  // namespace detail

// Held by a waker around exactly the call that may run a continuation on its
// stack; a continuation posted instead runs later, outside it.
class InlineResumptionMark {
public:
    InlineResumptionMark() noexcept { ++detail::t_inline_depth; }
    ~InlineResumptionMark() { --detail::t_inline_depth; }
    InlineResumptionMark(const InlineResumptionMark&) = delete;
    InlineResumptionMark& operator=(const InlineResumptionMark&) = delete;
};

inline bool inside_inline_resumption() noexcept { return detail::t_inline_depth > 0; }

/// Called where the thread may next wait for the interpreter lock. When the
/// check is armed and the thread runs an inline resumption, prints `what` with
/// `file:line` (null `file`: unknown) and a stack trace, then aborts.
inline void check_may_wait_for_python(std::string_view what, const char* file, std::uint_least32_t line) {
    if constexpr (kInlineRuleChecked) {
        if (inside_inline_resumption()) detail::inline_rule_broken(what, file, line);
    }
}
inline void check_may_wait_for_python(std::string_view what,
                                      std::source_location where = std::source_location::current()) {
    check_may_wait_for_python(what, where.file_name(), where.line());
}

}  // namespace kx::utils
