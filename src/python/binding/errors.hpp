// Turning C++ outcomes into Python exceptions at the boundary.
//
// - PyErrSet: a Python exception is already set; the boundary returns null.
// - Fault: an internal fault (broken invariant); the boundary raises PanicException
//   and writes the message with its source position to standard error.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include "python/binding/state.hpp"

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

// The PanicException type (created on first use; not an attribute of the module).
PyObject* panic_exception_type();

// Writes the fault to standard error and sets PanicException.
void set_panic(std::string_view message, const char* file, unsigned line);

// Runs `body` as the body of a call from Python: applies deferred reference releases,
// maps PyErrSet to a null return and faults to PanicException.
// Not noexcept, and the forced unwind passes: a daemon thread that meets interpreter
// shutdown inside Python code run from here is ended by pthread_exit, which unwinds.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        apply_pending_releases();
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const PyErrSet&) {
        return nullptr;
    } catch (const Fault& f) {
        set_panic(f.what(), f.where().file_name(), f.where().line());
    } catch (const std::exception& e) {
        set_panic(e.what(), nullptr, 0);
    } catch (...) {
        set_panic({}, nullptr, 0);
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
