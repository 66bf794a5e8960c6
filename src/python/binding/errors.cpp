#include "python/binding/errors.hpp"

#include <cstdio>
#include <cstdlib>

namespace kx::py {
namespace {

constexpr const char* kPanicDoc =
    "The exception raised when the module's code called from Python faults.\n\n"
    "Like SystemExit, it derives from BaseException so that it typically propagates "
    "all the way through the stack and makes the interpreter exit.";

constexpr std::string_view kGenericPanic = "internal fault without a message";

PyObject* g_panic_type = nullptr;

}  // namespace

void fault(std::string message, std::source_location where) { throw Fault(std::move(message), where); }

void raise(PyObject* type, std::string_view message) {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw PyErrSet{};
}

void raise_current() {
    if (PyErr_Occurred()) throw PyErrSet{};
    fault("a Python API call failed without setting an exception");
}

PyObject* panic_exception_type() {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc("kx_ffi_runtime.PanicException", kPanicDoc,
                                                 PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

void set_panic(std::string_view message, const char* file, unsigned line) {
    if (message.empty()) message = kGenericPanic;
    if (file != nullptr) {
        std::fprintf(stderr, "kx_proto_sdk: internal fault at %s:%u: %.*s\n", file, line,
                     static_cast<int>(message.size()), message.data());
    } else {
        std::fprintf(stderr, "kx_proto_sdk: internal fault: %.*s\n", static_cast<int>(message.size()),
                     message.data());
    }
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        std::fprintf(stderr, "uncaught panic at ffi boundary\n");
        std::abort();
    }
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) {
        std::fprintf(stderr, "uncaught panic at ffi boundary\n");
        std::abort();
    }
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace kx::py
