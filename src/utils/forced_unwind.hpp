// A thread ended by pthread_exit (CPython 3.10 ends so a thread that takes the interpreter lock
// during finalization) unwinds its stack with a forced unwind: a catch-all that swallows it
// aborts the process, so every catch-all lets it pass.
#pragma once

#include <exception>

namespace kx::utils {

/// Inside a `catch (...)`: rethrows the exception in flight unless it is a C++ exception, which
/// the forced unwind is not. Told apart by `current_exception` (null for a foreign exception)
/// rather than by `catch (abi::__forced_unwind&)`: that binds a reference to an object the
/// forced unwind does not carry, which UndefinedBehaviorSanitizer reports as a null reference.
inline void pass_forced_unwind() {
    if (!std::current_exception()) throw;
}

}  // namespace kx::utils
