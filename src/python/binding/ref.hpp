// Owning reference to a Python object (RAII). Used with the interpreter lock held; when a
// thread ended at interpreter shutdown unwinds without the lock, the release is deferred.
#pragma once

#include <Python.h>

#include <utility>

#include "python/binding/state.hpp"

namespace kx::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (may be null).
    static Ref steal(PyObject* o) { return Ref(o); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }

    Ref(const Ref& other) : obj_(other.obj_) { Py_XINCREF(obj_); }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    // May run Python code (__del__), so it lets the forced unwind of shutdown pass.
    ~Ref() noexcept(false) { release_later(obj_); }

    PyObject* get() const { return obj_; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* o) : obj_(o) {}
    PyObject* obj_ = nullptr;
};

}  // namespace kx::py
