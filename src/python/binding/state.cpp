#include "python/binding/state.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

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

// atexit hook: admits no native thread to Python from now on, then waits, with the lock released,
// for every one admitted before to leave, however long its Python code runs. Finalization may
// let other threads run (a finalizer that sleeps) and ends any that takes the lock then by a
// forced unwind, which a coroutine frame above it cannot pass: so none may be left inside.
// A log handler that never returns therefore keeps the process from exiting, as a non-daemon
// thread does. Then runs the exit actions (they settle what workers can no longer deliver).
PyObject* on_exit(PyObject*, PyObject*) {
    {
        std::lock_guard lock(g_users_mutex);
        g_exiting.store(true, std::memory_order_release);
    }
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock lock(g_users_mutex);
    g_users_cv.wait(lock, [] { return g_users == 0; });
    Py_END_ALLOW_THREADS
    for (auto action : g_exit_actions) action();
    Py_RETURN_NONE;
}

PyMethodDef g_on_exit_def = {"_kx_proto_sdk_exit", on_exit, METH_NOARGS, nullptr};

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

bool install_exit_hook() {
    static const bool fork_handlers = (pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child), true);
    (void)fork_handlers;
    PyObject* atexit = PyImport_ImportModule("atexit");
    if (atexit == nullptr) return false;
    PyObject* hook = PyCFunction_New(&g_on_exit_def, nullptr);
    PyObject* r = hook ? PyObject_CallMethod(atexit, "register", "O", hook) : nullptr;
    Py_XDECREF(hook);
    Py_DECREF(atexit);
    if (r == nullptr) return false;
    Py_DECREF(r);
    return true;
}

}  // namespace kx::py
