#include "python/binding/state.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <vector>

#include "python/binding/errors.hpp"
#include "utils/inline_resumption.hpp"

namespace kx::py {
namespace {

// Native threads admitted to Python through GilGuard: taking or holding the interpreter lock.
// Admission and the exit hook's start are ordered by g_users_mutex: a thread is either counted
// before the hook looks, or refused.
std::mutex g_users_mutex;
std::condition_variable g_users_cv;
int g_users = 0;
std::atomic<bool> g_exiting{false};  // set under g_users_mutex, read anywhere
thread_local int t_admitted = 0;     // this thread's share of g_users

std::mutex g_pending_mutex;
std::vector<PyObject*>* g_pending = new std::vector<PyObject*>();  // never freed: used at exit

std::vector<void (*)()> g_exit_actions;  // changed and read under the interpreter lock
std::vector<void (*)()> g_fork_actions;  // likewise

// How long the exit wait goes without running Python signal handlers: well under a second, so
// Ctrl-C is prompt, and long enough that the waiting thread costs nothing.
constexpr std::chrono::milliseconds kSignalCheckInterval{50};

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// The thread state that holds the interpreter lock, or null; possibly another thread's, which
// that thread may free at any moment: compare it, never follow it.
PyThreadState* lock_holder_state() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

/// The exit status the pending SystemExit asks for, read as the interpreter reads it: None is 0,
/// an int is itself, anything else is printed and gives 1. Clears the error.
int system_exit_status() {
    Ref exit = take_pending_exception();
    Ref code = Ref::steal(exit ? PyObject_GetAttrString(exit.get(), "code") : nullptr);
    int status = 1;
    if (code.get() == Py_None) {
        status = 0;
    } else if (code && PyLong_Check(code.get())) {
        status = static_cast<int>(PyLong_AsLong(code.get()));
    } else if (code) {
        PyObject* err = PySys_GetObject("stderr");  // borrowed
        if (err != nullptr && err != Py_None && PyFile_WriteObject(code.get(), err, Py_PRINT_RAW) == 0)
            PyFile_WriteString("\n", err);
    }
    PyErr_Clear();
    return status;
}

void flush_standard_streams() {
    for (const char* name : {"stdout", "stderr"}) {
        PyObject* stream = PySys_GetObject(name);  // borrowed
        Ref flushed = Ref::steal(stream && stream != Py_None ? PyObject_CallMethod(stream, "flush", nullptr) : nullptr);
        PyErr_Clear();
    }
    std::fflush(nullptr);
}

/// Ends the process at once for the exception a signal handler raised during the exit wait:
/// finalization cannot go on while a thread it waits for is inside Python. KeyboardInterrupt
/// ends it as an interrupted program does (its traceback, then killed by SIGINT), SystemExit
/// with its status, anything else with its traceback and status 1.
[[noreturn]] void end_process_for_pending_error() {
    const bool interrupted = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
    int status = 1;
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) status = system_exit_status();
    else print_pending_error();
    flush_standard_streams();
    if (interrupted) {
        std::signal(SIGINT, SIG_DFL);
        sigset_t sigint;
        sigemptyset(&sigint);
        sigaddset(&sigint, SIGINT);
        pthread_sigmask(SIG_UNBLOCK, &sigint, nullptr);
        std::raise(SIGINT);
        status = 128 + SIGINT;  // only if the signal did not end the process
    }
    _exit(status);
}

/// Waits, with the lock released, until no admitted thread is inside Python. Between slices it
/// runs Python signal handlers, so a handler can free what a waited-for thread waits for.
void wait_for_admitted_threads() {
    for (;;) {
        bool left = false;
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock lock(g_users_mutex);
            left = g_users_cv.wait_for(lock, kSignalCheckInterval, [] { return g_users == 0; });
        }
        Py_END_ALLOW_THREADS
        if (left) return;
        if (PyErr_CheckSignals() < 0) end_process_for_pending_error();
    }
}

// atexit hook: admits no native thread to Python from now on; runs the exit actions, which settle
// what workers can no longer deliver (a waited-for thread may be waiting for it); then waits for
// every thread admitted before to leave, however long its Python code runs. Finalization may
// let other threads run (a finalizer that sleeps) and ends any that takes the lock then by a
// forced unwind, which a coroutine frame above it cannot pass: so none may be left inside.
// A log handler that never returns therefore keeps the process from exiting, as a non-daemon
// thread does, until a signal handler raises (Ctrl-C).
PyObject* on_exit(PyObject*, PyObject*) {
    {
        std::lock_guard lock(g_users_mutex);
        g_exiting.store(true, std::memory_order_release);
    }
    for (auto action : g_exit_actions) {
        action();
        if (PyErr_Occurred()) end_process_for_pending_error();  // a signal handler raised meanwhile
    }
    wait_for_admitted_threads();
    Py_RETURN_NONE;
}

// os.register_at_fork hook, run in a child that os.fork made, with the lock held.
PyObject* in_forked_child(PyObject*, PyObject*) {
    for (auto action : g_fork_actions) {
        action();
        if (PyErr_Occurred()) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef g_on_exit_def = {"_kx_proto_sdk_exit", on_exit, METH_NOARGS, nullptr};
PyMethodDef g_in_forked_child_def = {"_kx_proto_sdk_forked", in_forked_child, METH_NOARGS, nullptr};

/// Registers a function made from `def` by calling `module.function(hook)`, or
/// `module.function(keyword=hook)` when `keyword` is given. False with a Python error set on failure.
bool register_hook(const char* module, const char* function, PyMethodDef* def, const char* keyword) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    Ref hook = Ref::steal(mod ? PyCFunction_New(def, nullptr) : nullptr);
    Ref registrar = Ref::steal(hook ? PyObject_GetAttrString(mod.get(), function) : nullptr);
    if (!registrar) return false;
    Ref args = Ref::steal(keyword ? PyTuple_New(0) : PyTuple_Pack(1, hook.get()));
    Ref kwargs = Ref::steal(keyword ? Py_BuildValue("{sO}", keyword, hook.get()) : nullptr);
    if (!args || (keyword && !kwargs)) return false;
    return static_cast<bool>(Ref::steal(PyObject_Call(registrar.get(), args.get(), kwargs.get())));
}

// A forked child has only the forking thread: the parent's admitted workers are not in it, and
// its exit must not wait for them. The mutexes are held across fork (in this order; no code holds
// one while taking the other) so the child gets them free and the count and queue whole.
void before_fork() {
    g_users_mutex.lock();
    g_pending_mutex.lock();
}
void after_fork_in_parent() {
    g_pending_mutex.unlock();
    g_users_mutex.unlock();
}
void after_fork_in_child() {
    g_users = t_admitted;
    g_pending_mutex.unlock();
    g_users_mutex.unlock();
}

}  // namespace

// Compares pointers only (see lock_holder_state). Unlike PyGILState_Check, which answers "held"
// on every thread once finalization has torn down the GIL-state machinery, this answers
// "not held" there: the holder's state is then null or not this thread's own.
bool holds_gil_here() {
    PyThreadState* own = PyGILState_GetThisThreadState();
    return own != nullptr && lock_holder_state() == own;
}

bool python_exiting() { return g_exiting.load(std::memory_order_acquire) || interpreter_finalizing(); }

GilGuard::GilGuard() {
    utils::check_may_wait_for_python("the interpreter lock was asked for (GilGuard)");
    if (holds_gil_here()) {  // nothing to take, nothing to restore
        acquired_ = true;
        return;
    }
    {
        std::lock_guard lock(g_users_mutex);
        if (python_exiting()) return;
        ++g_users;
        ++t_admitted;
        counted_ = true;
    }
    state_ = PyGILState_Ensure();  // blocks for the lock; the exit hook releases it while it waits
    ensured_ = true;
    acquired_ = true;
}

GilGuard::~GilGuard() {
    // An admitted thread is never ended inside Python (the exit hook waits for it); the lock is
    // not held here only if the hook did not run (finalization without atexit): then give nothing back.
    if (ensured_ && holds_gil_here()) PyGILState_Release(state_);
    if (counted_) {
        std::lock_guard lock(g_users_mutex);
        --t_admitted;
        if (--g_users == 0) g_users_cv.notify_all();
    }
}

void release_later(PyObject* obj) {
    if (obj == nullptr) return;
    if (holds_gil_here()) {
        Py_DECREF(obj);
        return;
    }
    release_deferred(obj);
}

void release_deferred(PyObject* obj) {
    if (obj == nullptr) return;
    std::lock_guard lock(g_pending_mutex);
    g_pending->push_back(obj);
}

void apply_pending_releases() {
    std::vector<PyObject*> batch;
    {
        std::lock_guard lock(g_pending_mutex);
        if (g_pending->empty()) return;
        batch.swap(*g_pending);
    }
    for (PyObject* o : batch) Py_DECREF(o);
}

void run_at_exit(void (*action)()) { g_exit_actions.push_back(action); }
void run_in_forked_child(void (*action)()) { g_fork_actions.push_back(action); }

bool install_process_hooks() {
    static const bool fork_handlers = (pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child), true);
    (void)fork_handlers;
    return register_hook("atexit", "register", &g_on_exit_def, nullptr) &&
           register_hook("os", "register_at_fork", &g_in_forked_child_def, "after_in_child");
}

}  // namespace kx::py
