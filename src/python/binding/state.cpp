#include "python/binding/state.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace kx::py {
namespace {

std::atomic<bool> g_exiting{false};
// Threads that are taking or holding the interpreter lock through GilGuard.
std::mutex g_users_mutex;
std::condition_variable g_users_cv;
int g_users = 0;

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

// atexit hook: from now on no worker thread takes the interpreter lock. Waits (with the lock
// released) for workers already inside, so none is left blocked on it when finalization starts,
// then runs the exit actions (they settle what the workers can no longer deliver).
PyObject* on_exit(PyObject*, PyObject*) {
    g_exiting.store(true);
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock lock(g_users_mutex);
    g_users_cv.wait_for(lock, std::chrono::seconds(5), [] { return g_users == 0; });
    Py_END_ALLOW_THREADS
    for (auto action : g_exit_actions) action();
    Py_RETURN_NONE;
}

PyMethodDef g_on_exit_def = {"_kx_proto_sdk_exit", on_exit, METH_NOARGS, nullptr};

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
    if (holds_gil_here()) {  // nothing to take, nothing to restore
        acquired_ = true;
        return;
    }
    {
        std::lock_guard lock(g_users_mutex);
        if (python_exiting()) return;
        ++g_users;
        counted_ = true;
    }
    state_ = PyGILState_Ensure();
    ensured_ = true;
    acquired_ = true;
}

GilGuard::~GilGuard() {
    // Not held any more only when the thread is being ended at shutdown: nothing to give back.
    if (ensured_ && holds_gil_here()) PyGILState_Release(state_);
    if (counted_) {
        std::lock_guard lock(g_users_mutex);
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
