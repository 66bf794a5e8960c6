// Awaitable methods: the front half runs on the Python thread and returns a
// future of the caller's running asyncio loop; the work runs on the runtime's
// worker threads without the interpreter lock; its outcome completes the
// future through loop.call_soon_threadsafe.
//
// An awaitable method copies what its work needs out of `self` and the arguments, and hands the
// work to spawn_awaitable inside the call's `guarded` body (binding/errors.hpp), as
// PyTcpClient.get_data_stream does:
//
//     PyObject* get_data_stream(PyObject* self, PyObject*) {
//         return guarded([&]() -> PyObject* {
//             auto client = Borrowed<ClientHandle>::shared(self, client_type());
//             return spawn_awaitable(get_data_stream_async(*client));  // a copy of the handle; borrows end on return
//         });
//     }
//
// The work is an asio::awaitable<T>, started on its own strand:
//   - T = AwaitResult: AwaitResult::unit() resolves to (), ::object(o) to o,
//     ::error(PyExc_RuntimeError, "Failed to ...") fails the future.
//   - T = void resolves to (); any other T is converted under the interpreter
//     lock by to_python(T&&) (overloads below: str, int, bool, bytes from
//     std::vector<std::uint8_t>, tuples, Ref). Add an overload for a
//     new result type in namespace kx::py.
//   - To fail with a Python exception:
//         throw AwaitError(PyExc_RuntimeError, fmt::format("Failed to connect to TCP server: {}", e));
//   - To build the result under the interpreter lock itself (bytes, a new
//     PyTcpStream): co_return build_object([&] { return PyBytes_FromStringAndSize(...); });
//     A null result fails the future with the Python error that was set.
//   - Any other exception fails the future by the boundary's table
//     (binding/errors.hpp): MemoryError, ValueError, or, for an internal fault,
//     the bridge's AwaitableFault, with the fault printed to standard error.
//   - Cancelling the future cancels the work at its current co_await (its
//     asio operation ends with operation_aborted); nothing is delivered then.
// Ref (binding/ref.hpp) is the only Python reference a work may hold: it can be
// dropped on any thread. Once the interpreter is exiting, build_object and with_gil
// throw PythonExiting and the call is dropped quietly: the exit hook has failed its
// future with RuntimeError "... the interpreter is shutting down" as it began, and a call
// made after that fails at once with that error. In a child forked after the workers
// started, calls fail at once and those pending at the fork are failed likewise.
#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <asio.hpp>

#include "python/binding/errors.hpp"
#include "python/binding/ref.hpp"
#include "python/binding/state.hpp"

namespace kx::py {

// Fails the awaitable with a Python exception: either `type(message)` or an
// exception object taken from the interpreter (from_python_error).
class AwaitError : public std::exception {
public:
    // `type` is a static exception type such as PyExc_RuntimeError.
    AwaitError(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}
    // Takes the pending Python error; needs the interpreter lock.
    static AwaitError from_python_error();

    const char* what() const noexcept override { return message_.c_str(); }
    PyObject* type() const { return type_; }
    // The exception object to deliver; needs the interpreter lock.
    PyObject* make_exception() const;

private:
    AwaitError() = default;
    PyObject* type_ = nullptr;
    std::string message_;
    std::shared_ptr<Ref> exception_;  // shared: exceptions are copied on threads without the lock
};

// Thrown when the interpreter lock cannot be taken because Python is exiting.
struct PythonExiting : std::exception {
    const char* what() const noexcept override { return "the interpreter is exiting"; }
};

// Runs `fn` with the interpreter lock held (from any thread). A Python error
// raised through the binding helpers (PyErrSet) leaves as AwaitError.
template <class F>
decltype(auto) with_gil(F&& fn) {
    GilGuard gil;
    if (!gil.acquired()) throw PythonExiting{};
    try {
        return std::forward<F>(fn)();
    } catch (const PyErrSet&) {
        throw AwaitError::from_python_error();
    }
}

// `make` returns a new reference, or null with a Python error set.
template <class F>
Ref build_object(F&& make) {
    return with_gil([&] {
        PyObject* o = make();
        if (o == nullptr) throw AwaitError::from_python_error();
        return Ref::steal(o);
    });
}

// A work's outcome as a value instead of a throw: nothing (resolves to ()),
// an object already built under the lock, or an error to raise.
class AwaitResult {
public:
    static AwaitResult unit() { return AwaitResult(); }
    static AwaitResult object(Ref o) {
        AwaitResult r;
        r.object_ = std::move(o);
        return r;
    }
    static AwaitResult error(PyObject* type, std::string message) {
        return error(AwaitError(type, std::move(message)));
    }
    static AwaitResult error(AwaitError e) {
        AwaitResult r;
        r.error_ = std::make_shared<AwaitError>(std::move(e));
        return r;
    }

    bool is_error() const { return error_ != nullptr; }
    const AwaitError& error() const { return *error_; }
    // New reference: the object, or () for unit. Needs the interpreter lock.
    PyObject* take_value() { return object_ ? object_.release() : PyTuple_New(0); }

private:
    AwaitResult() = default;
    Ref object_;
    std::shared_ptr<AwaitError> error_;
};

// Result conversions, called with the interpreter lock held; each returns a
// new reference or null with a Python error set.
inline PyObject* to_python(Ref&& o) { return o.release(); }
PyObject* to_python(std::string&& s);
PyObject* to_python(std::vector<std::uint8_t>&& bytes);
PyObject* to_python(bool b);
template <class I>
    requires(std::is_integral_v<I> && !std::is_same_v<I, bool>)
PyObject* to_python(I value) {
    if constexpr (std::is_signed_v<I>) return PyLong_FromLongLong(value);
    else return PyLong_FromUnsignedLongLong(value);
}
template <class... Ts>
PyObject* to_python(std::tuple<Ts...>&& values) {
    PyObject* tuple = PyTuple_New(sizeof...(Ts));
    if (tuple == nullptr) return nullptr;
    bool ok = true;
    Py_ssize_t i = 0;
    std::apply(
        [&](auto&... v) {
            ((ok = ok && [&] {
                 PyObject* item = to_python(std::move(v));
                 if (item == nullptr) return false;
                 PyTuple_SET_ITEM(tuple, i++, item);
                 return true;
             }()),
             ...);
        },
        values);
    if (!ok) Py_CLEAR(tuple);
    return tuple;
}
template <class A, class B>
PyObject* to_python(std::pair<A, B>&& p) {
    return to_python(std::tuple<A, B>(std::move(p.first), std::move(p.second)));
}

// The bridge's fault exception type (created on first use).
PyObject* awaitable_fault_type();

namespace detail {

struct CallState;

// Front half: running loop, context copy, future, done-callback, runtime.
// Throws PyErrSet (no running loop, ...) or a fault (runtime cannot be built).
std::shared_ptr<CallState> begin_call();
void launch(const std::shared_ptr<CallState>& state, asio::awaitable<void> body);
// The future as a new reference, for the front half to return.
PyObject* future_of(const CallState& state);
// Completion paths; they throw nothing but the forced unwind of a thread ended at shutdown.
void deliver_value(CallState& state, const std::function<PyObject*()>& make_value);
void deliver_exception(CallState& state, std::exception_ptr error);
void deliver_error(CallState& state, const AwaitError& error);

template <class T>
asio::awaitable<void> run_call(std::shared_ptr<CallState> state, asio::awaitable<T> work) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(work);
            deliver_value(*state, [] { return PyTuple_New(0); });
        } else if constexpr (std::is_same_v<T, AwaitResult>) {
            AwaitResult result = co_await std::move(work);
            if (result.is_error()) deliver_error(*state, result.error());
            else deliver_value(*state, [&] { return result.take_value(); });
        } else {
            T value = co_await std::move(work);
            deliver_value(*state, [&] { return to_python(std::move(value)); });
        }
    } catch (...) {
        utils::pass_forced_unwind();
        deliver_exception(*state, std::current_exception());
    }
}

}  // namespace detail

// Front half of an awaitable method; returns the future (new reference).
// Needs the interpreter lock; throws what `guarded` turns into the call's Python error.
template <class T>
PyObject* spawn_awaitable(asio::awaitable<T> work) {
    std::shared_ptr<detail::CallState> state = detail::begin_call();
    Ref future = Ref::steal(detail::future_of(*state));  // taken first: delivery releases the state's reference
    detail::launch(state, detail::run_call<T>(state, std::move(work)));
    return future.release();
}

}  // namespace kx::py
