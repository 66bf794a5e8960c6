// Process-wide interpreter state shared by every binding: taking the interpreter
// lock from foreign threads, and reference releases deferred by threads without it.
#pragma once

#include <Python.h>

namespace kx::py {

// True once the interpreter has begun to shut down (our atexit hook began, or
// finalization started). Worker threads are not admitted to Python afterwards.
bool python_exiting();

// True when the calling thread holds the interpreter lock (also during finalization).
// Callable on any thread without the lock.
bool holds_gil_here();

// Takes the interpreter lock on any thread, unless the interpreter is exiting.
// Check `acquired()` before touching Python. Safe on threads that hold it already.
// A thread admitted here is waited for by the exit hook until the guard ends.
class GilGuard {
public:
    GilGuard();
    ~GilGuard();
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;
    bool acquired() const { return acquired_; }

private:
    bool acquired_ = false;
    bool ensured_ = false;  // taken here (not already held), so released here
    bool counted_ = false;
    PyGILState_STATE state_{};
};

// Releases a reference; when the caller does not hold the interpreter lock the release is
// queued and applied the next time a call enters the module (dropped once Python exits).
void release_later(PyObject* obj);
// Always queues the release: for destructors that must not run Python code.
void release_deferred(PyObject* obj);
// Applies queued releases; needs the interpreter lock.
void apply_pending_releases();

// Registers the atexit hook that stops admitting worker threads to Python and waits for those
// inside to leave before finalization goes on, and the hook os.fork runs in a child. Called once
// by the module body.
bool install_process_hooks();
// Adds an action the exit hook runs, with the interpreter lock held, as exit begins: before it
// waits for the threads inside Python, which may be waiting for what the action does. Needs the
// interpreter lock. An action that returns with a Python error set (a signal handler raised in
// its Python code) ends the process for it.
void run_at_exit(void (*action)());
// Adds an action run, with the interpreter lock held, in a child process made by os.fork. Needs
// the interpreter lock.
void run_in_forked_child(void (*action)());

}  // namespace kx::py
