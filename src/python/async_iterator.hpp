// The module's async iterator classes (MessageStream, PyTcpStream): an instance
// holds a shared handle to its stream's state; __aiter__ returns the instance,
// __anext__ the awaitable of one step. A step hands the stream's end or lag back
// as its value, a RuntimeError object, instead of raising it.
#pragma once

#include <Python.h>

#include <string_view>

#include <asio.hpp>

#include "python/awaitable.hpp"
#include "python/binding/class_builder.hpp"
#include "python/binding/errors.hpp"

namespace kx::py {

/// The value of a step that ends in `RuntimeError(text)`, built under the
/// interpreter lock (from a worker).
AwaitResult runtime_error_value(std::string_view text);

namespace detail {

template <class Handle, PyTypeObject* (*Type)()>
PyObject* aiter_self(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto handle = Borrowed<Handle>::shared(self, Type());
        return Py_NewRef(self);
    });
}

// The instance stays borrowed only while the step starts: the step has its own handle.
template <class Handle, PyTypeObject* (*Type)(), asio::awaitable<AwaitResult> (*Step)(Handle)>
PyObject* anext_step(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto handle = Borrowed<Handle>::exclusive(self, Type());
        return spawn_awaitable(Step(*handle));
    });
}

}  // namespace detail

/// The class `name` (Type() returns it once built) whose __anext__ awaits
/// Step on the instance's handle.
template <class Handle, PyTypeObject* (*Type)(), asio::awaitable<AwaitResult> (*Step)(Handle)>
PyTypeObject* build_async_iterator_type(const char* name) {
    return ClassSpec<Handle>(name)
        .slot(Py_am_aiter, &detail::aiter_self<Handle, Type>)
        .slot(Py_am_anext, &detail::anext_step<Handle, Type, Step>)
        .build();
}

}  // namespace kx::py
