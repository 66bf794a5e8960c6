// The one owning reference to a Python object (RAII) of the binding layer.
//
// Creating and reading a Ref needs the interpreter lock; dropping one does not: the release is
// direct on a thread that holds the lock and queued otherwise (release_later), so a Ref may go
// with asynchronous work and end on a worker thread, or on a thread ended at shutdown.
// Move-only: a copy would add a reference, which needs the lock wherever the copy is made; take
// another reference explicitly with borrow(r.get()) where the lock is held.
#pragma once

#include <Python.h>

#include <utility>

#include "python/binding/state.hpp"

namespace kx::py {

class Ref {
public:
    Ref() = default;
    /// Takes over a new reference (may be null).
    static Ref steal(PyObject* o) { return Ref(o); }
    /// Adds a reference to a borrowed object (may be null); needs the lock.
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }

    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    // Drops the reference held before, which may run Python code: not noexcept, as the destructor.
    Ref& operator=(Ref&& other) noexcept(false) {
        if (this != &other) release_later(std::exchange(obj_, other.release()));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // May run Python code (__del__), so it lets the forced unwind of shutdown pass.
    ~Ref() noexcept(false) { release_later(obj_); }

    PyObject* get() const { return obj_; }
    /// Hands the reference to the caller.
    PyObject* release() { return std::exchange(obj_, nullptr); }
    /// Drops the reference now, or queues it on a thread without the lock.
    void reset() noexcept(false) { release_later(release()); }
    /// Always queues the release: for destructors that must not run Python code.
    void reset_deferred() { release_deferred(release()); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* o) : obj_(o) {}
    PyObject* obj_ = nullptr;
};

}  // namespace kx::py
