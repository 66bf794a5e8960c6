// Turning C++ outcomes into Python exceptions at the boundary. One table (translate) serves
// every boundary: the synchronous calls (guarded) and the futures of awaited work (awaitable.cpp).
//
//   thrown                                       raised in Python
//   PyErrSet (a Python error is already set)     that error
//   std::bad_alloc, std::length_error            MemoryError
//   data_handler::SignalArgumentError            ValueError with its text
//   anything else (Fault: a broken invariant,    the fault exception, PanicException from a call,
//   with its source position)                    AwaitableFault from awaited work; the message
//                                                also goes to standard error
#pragma once

#include <Python.h>

#include <exception>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include "python/binding/ref.hpp"
#include "python/binding/state.hpp"
#include "utils/forced_unwind.hpp"

namespace kx::py {

struct PyErrSet {};

class Fault : public std::exception {
public:
    Fault(std::string message, std::source_location where) : message_(std::move(message)), where_(where) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::source_location& where() const { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

[[noreturn]] void fault(std::string message, std::source_location where = std::source_location::current());

// Sets `type` with `message` and throws PyErrSet.
[[noreturn]] void raise(PyObject* type, std::string_view message);
// Throws PyErrSet if a Python error is set, else a fault (an API returned failure without one).
[[noreturn]] void raise_current();
// Returns `o` as an owned reference, or throws the pending error when it is null.
inline PyObject* check(PyObject* o) {
    if (o == nullptr) raise_current();
    return o;
}

/// Writes "kx_proto_sdk: <what>[ at <file>:<line>]: <message>" to standard error.
void print_fault(const char* what, std::string_view message, const char* file, unsigned line);
/// Prints the pending Python error through the interpreter's error printer and clears it; a
/// SystemExit goes to the unraisable hook instead, since printing it would exit. Needs the lock.
void print_pending_error();
/// Takes the pending Python error as one normalised exception object with its traceback
/// attached; null when none is set. Needs the lock.
Ref take_pending_exception();

// What an exception becomes in Python, by the table above.
struct Translation {
    enum class Kind { PythonError, MemoryError, ValueError, Fault };
    Kind kind;
    std::string_view message{};  // the ValueError's text, or the fault's (empty when it has none)
    const char* file = nullptr;  // the fault's source position, when known
    unsigned line = 0;
    std::exception_ptr source{};  // keeps `message` alive without copying it (no allocation here)
};

/// Classifies `error` by the table; needs no interpreter lock. Never given the forced unwind.
Translation translate(std::exception_ptr error);
/// Sets the Python error a synchronous call raises for `t` (none for PythonError: it is set;
/// PanicException for a fault). Needs the interpreter lock.
void set_error(const Translation& t);

// Runs `body` as the body of a call from Python: applies deferred reference releases and
// turns what it throws into a Python error and a null return.
// Not noexcept, and the forced unwind passes: a daemon thread that meets interpreter
// shutdown inside Python code run from here is ended by pthread_exit, which unwinds.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        apply_pending_releases();
        return body();
    } catch (...) {
        utils::pass_forced_unwind();
        set_error(translate(std::current_exception()));
    }
    return nullptr;
}

// Same for slots that return an int status (-1 on error).
template <class Body>
int guarded_status(Body&& body) {
    PyObject* r = guarded([&]() -> PyObject* {
        body();
        return Py_None;
    });
    return r == nullptr ? -1 : 0;
}

}  // namespace kx::py
