// Runs a signal computation and raises its argument errors as ValueError, so
// ordinary `except Exception` handlers see them, and a failed allocation as
// MemoryError.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <utility>

#include "data_handler/signal_error.hpp"
#include "python/binding/errors.hpp"

namespace kx::py {

template <class Compute>
decltype(auto) value_errors(Compute&& compute) {
    try {
        return std::forward<Compute>(compute)();
    } catch (const data_handler::SignalArgumentError& e) {
        raise(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw PyErrSet{};
    } catch (const std::length_error&) {
        PyErr_NoMemory();
        throw PyErrSet{};
    }
}

}  // namespace kx::py
