#include "utils/inline_resumption.hpp"

#include <execinfo.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

// Present when a sanitizer runtime is loaded: it prints a symbolized trace.
extern "C" void __sanitizer_print_stack_trace() __attribute__((weak));

namespace kx::utils::detail {

void inline_rule_broken(std::string_view what, const char* file, std::uint_least32_t line) {
    std::fprintf(stderr,
                 "kx_proto_sdk: %.*s at %s:%u inside an inline resumption: a continuation run on its "
                 "waker's stack must not wait for the interpreter lock; it posts itself first "
                 "(utils/inline_resumption.hpp)\n",
                 static_cast<int>(what.size()), what.data(), file != nullptr ? file : "?",
                 static_cast<unsigned>(line));
    if (__sanitizer_print_stack_trace != nullptr) {
        __sanitizer_print_stack_trace();
    } else {
        void* frames[64];
        backtrace_symbols_fd(frames, backtrace(frames, 64), STDERR_FILENO);
    }
    std::fflush(stderr);
    std::abort();
}

}  // namespace kx::utils::detail
