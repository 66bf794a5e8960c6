#include "python/awaitable.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "python/binding/args.hpp"
#include "python/binding/class_builder.hpp"
#include "utils/runtime.hpp"

namespace kx::py {
namespace detail {

struct CallState {
    CallState();
    ~CallState();
    CallState(const CallState&) = delete;
    CallState& operator=(const CallState&) = delete;

    // Task locals and the future; released under the interpreter lock by whoever settles the call.
    Ref loop;
    Ref context;
    Ref future;
    std::optional<asio::strand<asio::io_context::executor_type>> strand;
    asio::cancellation_signal cancel;
    std::atomic<bool> cancel_requested{false};
    bool finished = false;  // on the strand only

    /// True for the one path that settles the call: its worker, or the exit or fork action that
    /// abandons it. Called with the interpreter lock held; the lock may change hands while the
    /// winner runs Python code, so a second path must not touch the call's references.
    bool claim_settlement() { return !settled.exchange(true); }
    void release_python() {
        future.reset();
        context.reset();
        loop.reset();
    }

private:
    std::atomic<bool> settled{false};
};

}  // namespace detail

namespace {

using detail::CallState;

constexpr std::string_view kFaultPrefix = "awaited work faulted: ";
constexpr std::string_view kUnknownFault = "unknown error";
constexpr const char* kRefusedAtExit = "Cannot start the operation: the interpreter is shutting down";
constexpr const char* kAbandonedAtExit = "The operation was abandoned: the interpreter is shutting down";
constexpr const char* kRefusedInForkedChild =
    "Cannot start the operation: this process was forked after the module started its worker threads, "
    "which stay in the parent; start child processes with the 'spawn' or 'forkserver' method, "
    "or fork before the first awaitable call";
constexpr const char* kAbandonedByFork =
    "The operation was abandoned: this process was forked while it ran, and its work stays in the parent; "
    "start child processes with the 'spawn' or 'forkserver' method";

// Calls not yet destroyed, so the exit hook can settle those whose future is still pending.
// Keyed by address; the weak reference fails once the call is being destroyed.
std::mutex g_calls_mutex;
auto* g_calls = new std::unordered_map<CallState*, std::weak_ptr<CallState>>();  // never freed: used at exit

// Names and callables looked up once per process (under the interpreter lock).
struct Names {
    PyObject* get_running_loop;
    PyObject* copy_context;
    PyObject* create_future;
    PyObject* add_done_callback;
    PyObject* cancelled;
    PyObject* call_soon_threadsafe;
    PyObject* set_result;
    PyObject* set_exception;
    PyObject* context_kwnames;  // ("context",)
};

PyObject* module_attr(const char* module, const char* name) {
    Ref m = Ref::steal(check(PyImport_ImportModule(module)));
    return check(PyObject_GetAttrString(m.get(), name));
}

PyObject* intern(const char* s) { return check(PyUnicode_InternFromString(s)); }

const Names& names() {
    static Names* cached = nullptr;  // kept for the life of the process
    if (cached == nullptr) {
        cached = new Names{module_attr("asyncio", "get_running_loop"),
                           module_attr("contextvars", "copy_context"),
                           intern("create_future"),
                           intern("add_done_callback"),
                           intern("cancelled"),
                           intern("call_soon_threadsafe"),
                           intern("set_result"),
                           intern("set_exception"),
                           check(Py_BuildValue("(s)", "context"))};
    }
    return *cached;
}

// --- PyDoneCallback: sends the cancel signal when the future is cancelled ----

void request_cancel(const std::shared_ptr<CallState>& state) {
    if (state->cancel_requested.exchange(true)) return;
    asio::post(*state->strand, [state] {
        if (!state->finished) state->cancel.emit(asio::cancellation_type::terminal);
    });
}

using DoneCallback = std::shared_ptr<CallState>;

PyObject* done_callback_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"PyDoneCallback.__call__()", {"fut"}};
        PyObject* fut = nullptr;
        spec.bind(args, kwargs, &fut);
        Ref cancelled = Ref::steal(check(PyObject_CallMethodNoArgs(fut, names().cancelled)));
        const int is_cancelled = PyObject_IsTrue(cancelled.get());
        if (is_cancelled < 0) raise_current();
        if (is_cancelled) request_cancel(as_instance<DoneCallback>(self)->contents);
        Py_RETURN_NONE;
    });
}

PyTypeObject* done_callback_type() {
    static TypeCell cell;
    return cell.require("PyDoneCallback", [] {
        return ClassSpec<DoneCallback>("PyDoneCallback").slot(Py_tp_call, &done_callback_call).build();
    });
}

// --- CheckedCompletor: completes the future unless it was cancelled meanwhile --

struct Stateless {};

PyObject* completor_call(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"CheckedCompletor.__call__()", {"future", "complete", "value"}};
        PyObject* a[3];
        spec.bind(args, kwargs, a);
        Ref cancelled = Ref::steal(check(PyObject_CallMethodNoArgs(a[0], names().cancelled)));
        const int is_cancelled = PyObject_IsTrue(cancelled.get());
        if (is_cancelled < 0) raise_current();
        if (!is_cancelled) Ref::steal(check(PyObject_CallOneArg(a[1], a[2])));
        Py_RETURN_NONE;
    });
}

PyObject* completor() {
    static PyObject* instance = nullptr;  // stateless, one for the process
    if (instance == nullptr) {
        static TypeCell cell;
        PyTypeObject* type = cell.require("CheckedCompletor", [] {
            return ClassSpec<Stateless>("CheckedCompletor").slot(Py_tp_call, &completor_call).build();
        });
        instance = check(make_instance(type, Stateless{}));
    }
    return instance;
}

// --- Delivery (worker thread, interpreter lock held) ---------------------------

// True when the future may still be completed. A failing check is printed and
// counts as "do not deliver".
bool still_wanted(CallState& state) {
    PyObject* r = PyObject_CallMethodNoArgs(state.future.get(), names().cancelled);
    if (r == nullptr) {
        print_pending_error();
        return false;
    }
    const int cancelled = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (cancelled < 0) {
        print_pending_error();
        return false;
    }
    return cancelled == 0;
}

// Schedules `future.<method>(payload)` on the loop's thread; steals `payload`. A failure
// (e.g. the loop is closed) drops the result and is printed, or, when `quiet`, cleared; quiet
// leaves set what is not an Exception: a signal handler's KeyboardInterrupt must not be lost.
void schedule_completion(CallState& state, PyObject* method_name, PyObject* payload, bool quiet = false) {
    Ref value = Ref::steal(payload);
    Ref method = Ref::steal(PyObject_GetAttr(state.future.get(), method_name));
    Ref r;
    if (method) {
        PyObject* call[] = {state.loop.get(), completor(), state.future.get(), method.get(), value.get(), Py_None};
        r = Ref::steal(PyObject_VectorcallMethod(names().call_soon_threadsafe, call, 5, names().context_kwnames));
    }
    if (r) return;
    if (!quiet) print_pending_error();
    else if (PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
}

void schedule_current_error(CallState& state) {
    Ref exception = take_pending_exception();
    if (exception) schedule_completion(state, names().set_exception, exception.release());
}

PyObject* fault_exception(std::string_view message) {
    PyObject* type = awaitable_fault_type();
    if (type == nullptr) return nullptr;
    const std::string text = std::string(kFaultPrefix).append(message.empty() ? kUnknownFault : message);
    Ref arg = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    return arg ? PyObject_CallOneArg(type, arg.get()) : nullptr;
}

void print_work_fault(std::string_view message, const char* file = nullptr, unsigned line = 0) {
    print_fault("awaited work faulted", message.empty() ? kUnknownFault : message, file, line);
}

// Takes the interpreter lock and, unless the call was settled otherwise or the future cancelled,
// schedules what `complete` produces; then releases the call's Python references.
// Lets the forced unwind pass, though a worker never meets it: the exit hook keeps workers
// out of Python before finalization (a coroutine frame above could not pass it).
template <class Complete>
void settle(CallState& state, Complete&& complete) {
    try {
        GilGuard gil;
        if (!gil.acquired()) return;             // exiting: the exit hook abandoned the call
        if (!state.claim_settlement()) return;  // abandoned at exit or fork
        PyObject *type, *value, *tb;            // a worker has no error of its own to keep, but be safe
        PyErr_Fetch(&type, &value, &tb);
        if (still_wanted(state)) complete();
        state.release_python();
        PyErr_Restore(type, value, tb);
    } catch (const std::exception& e) {
        print_work_fault(e.what());
    } catch (...) {
        utils::pass_forced_unwind();
        print_work_fault({});
    }
}

void settle_fault(CallState& state, std::string_view message) {
    settle(state, [&] {
        PyObject* exc = fault_exception(message);
        if (exc == nullptr) schedule_current_error(state);
        else schedule_completion(state, names().set_exception, exc);
    });
}

// Fails every future still pending with RuntimeError `text`, on its loop: no worker will deliver
// its result. Needs the interpreter lock. A loop already closed is passed over quietly.
void abandon_pending_calls(const char* text) {
    std::vector<std::shared_ptr<CallState>> live;
    {
        std::lock_guard lock(g_calls_mutex);  // not held while Python runs: a release may destroy a call
        for (auto& [address, weak] : *g_calls)
            if (auto state = weak.lock()) live.push_back(std::move(state));
    }
    for (auto& state : live) {
        if (!state->claim_settlement()) continue;
        if (still_wanted(*state)) {
            PyObject* exc = AwaitError(PyExc_RuntimeError, text).make_exception();
            if (exc == nullptr) PyErr_Clear();
            else schedule_completion(*state, names().set_exception, exc, /*quiet=*/true);
        }
        state->release_python();
        if (PyErr_Occurred()) return;  // raised by a signal handler: the hook that runs us ends on it
    }
}

// A worker turned away at exit would leave its future pending, and a thread the exit hook waits
// for may be waiting for that very future: abandoned when exit begins, not after the wait.
void abandon_at_exit() { abandon_pending_calls(kAbandonedAtExit); }
// A forked child has none of the workers that would deliver what its parent's calls await.
void abandon_in_forked_child() { abandon_pending_calls(kAbandonedByFork); }

// The registry's lock is held across fork, so a child never inherits it held by a worker.
void lock_calls_for_fork() { g_calls_mutex.lock(); }
void unlock_calls_after_fork() { g_calls_mutex.unlock(); }

// The rows the bridge keeps ahead of the common table: true when `error` was one of them.
bool settled_by_bridge_rows(CallState& state, std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const AwaitError& e) {
        detail::deliver_error(state, e);
    } catch (const PythonExiting&) {
        // Dropped quietly: nobody is left to receive it.
    } catch (const asio::system_error& e) {
        if (!state.cancel_requested.load() || e.code() != asio::error::operation_aborted) return false;
        settle(state, [] {});  // cancelled: deliver nothing, release the references
    } catch (...) {
        return false;
    }
    return true;
}

}  // namespace

detail::CallState::CallState() = default;

// The last owner may be any thread, even one being ended at shutdown: the Python
// references go to the deferred queue rather than running finalizers here.
detail::CallState::~CallState() {
    {
        std::lock_guard lock(g_calls_mutex);
        g_calls->erase(this);
    }
    future.reset_deferred();
    context.reset_deferred();
    loop.reset_deferred();
}

PyObject* awaitable_fault_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyErr_NewException("kx_async_bridge.AwaitableFault", PyExc_Exception, nullptr);
    return type;
}

AwaitError AwaitError::from_python_error() {
    Ref exception = take_pending_exception();
    if (!exception) return AwaitError(PyExc_SystemError, "error return without exception set");
    AwaitError error;
    error.exception_ = std::make_shared<Ref>(std::move(exception));
    return error;
}

PyObject* AwaitError::make_exception() const {
    if (exception_) return Py_NewRef(exception_->get());
    Ref arg = Ref::steal(PyUnicode_DecodeUTF8(message_.data(), static_cast<Py_ssize_t>(message_.size()), "replace"));
    return arg ? PyObject_CallOneArg(type_, arg.get()) : nullptr;
}

PyObject* to_python(std::string&& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}
PyObject* to_python(std::vector<std::uint8_t>&& bytes) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
}
PyObject* to_python(bool b) { return PyBool_FromLong(b); }

namespace detail {

std::shared_ptr<CallState> begin_call() {
    if (python_exiting()) raise(PyExc_RuntimeError, kRefusedAtExit);
    if (utils::runtime_lost_by_fork()) raise(PyExc_RuntimeError, kRefusedInForkedChild);
    const Names& n = names();
    completor();  // made here so that completing never has to create it
    static const bool actions_added = (run_at_exit(&abandon_at_exit), run_in_forked_child(&abandon_in_forked_child),
                                       pthread_atfork(&lock_calls_for_fork, &unlock_calls_after_fork,
                                                      &unlock_calls_after_fork),
                                       true);
    (void)actions_added;
    auto state = std::make_shared<CallState>();
    state->loop = Ref::steal(check(PyObject_CallNoArgs(n.get_running_loop)));
    state->context = Ref::steal(check(PyObject_CallNoArgs(n.copy_context)));
    state->future = Ref::steal(check(PyObject_CallMethodNoArgs(state->loop.get(), n.create_future)));
    Ref callback = Ref::steal(check(make_instance(done_callback_type(), DoneCallback(state))));
    Ref added = Ref::steal(check(PyObject_CallMethodOneArg(state->future.get(), n.add_done_callback, callback.get())));
    state->strand.emplace(asio::make_strand(utils::runtime()));
    // Registered whole, and checked again: the Python code above may let the exit hook run on
    // the main thread. Registering and checking run no Python code, nor does the hook between
    // setting its flag and taking the registry, so a call is either abandoned by it or refused.
    {
        std::lock_guard lock(g_calls_mutex);
        g_calls->emplace(state.get(), state);
    }
    if (python_exiting()) raise(PyExc_RuntimeError, kRefusedAtExit);
    return state;
}

void launch(const std::shared_ptr<CallState>& state, asio::awaitable<void> body) {
    asio::co_spawn(*state->strand, std::move(body),
                   asio::bind_cancellation_slot(state->cancel.slot(),
                                                asio::bind_executor(*state->strand, [state](std::exception_ptr) {
                                                    state->finished = true;
                                                })));
}

PyObject* future_of(const CallState& state) { return Py_NewRef(state.future.get()); }

void deliver_value(CallState& state, const std::function<PyObject*()>& make_value) {
    settle(state, [&] {
        PyObject* value = make_value();
        if (value == nullptr) schedule_current_error(state);  // a failed conversion is the work's error
        else schedule_completion(state, names().set_result, value);
    });
}

void deliver_error(CallState& state, const AwaitError& error) {
    settle(state, [&] {
        PyObject* exc = error.make_exception();
        if (exc == nullptr) schedule_current_error(state);
        else schedule_completion(state, names().set_exception, exc);
    });
}

void deliver_exception(CallState& state, std::exception_ptr error) {
    if (settled_by_bridge_rows(state, error)) return;
    const Translation t = translate(std::move(error));
    // with_gil turns a Python error into an AwaitError while the lock is held; a PyErrSet that
    // gets here was thrown outside it, its error is lost: a fault.
    if (t.kind == Translation::Kind::Fault || t.kind == Translation::Kind::PythonError) {
        print_work_fault(t.message, t.file, t.line);
        settle_fault(state, t.message);
        return;
    }
    settle(state, [&] {
        set_error(t);
        schedule_current_error(state);
    });
}

}  // namespace detail
}  // namespace kx::py
