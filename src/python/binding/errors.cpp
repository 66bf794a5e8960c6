#include "python/binding/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "data_handler/signal_error.hpp"

namespace kx::py {
namespace {

constexpr const char* kPanicDoc =
    "The exception raised when the module's code called from Python faults.\n\n"
    "Like SystemExit, it derives from BaseException so that it typically propagates "
    "all the way through the stack and makes the interpreter exit.";

constexpr std::string_view kGenericPanic = "internal fault without a message";

PyObject* g_panic_type = nullptr;

// The PanicException type (created on first use; not an attribute of the module).
PyObject* panic_exception_type() {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc("kx_ffi_runtime.PanicException", kPanicDoc,
                                                 PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

[[noreturn]] void abort_uncaught_panic() {
    std::fprintf(stderr, "uncaught panic at ffi boundary\n");
    std::abort();
}

void set_panic(std::string_view message, const char* file, unsigned line) {
    if (message.empty()) message = kGenericPanic;
    print_fault("internal fault", message, file, line);
    PyObject* type = panic_exception_type();
    if (type == nullptr) abort_uncaught_panic();
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) abort_uncaught_panic();
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void set_text_error(PyObject* type, std::string_view message) {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
}

}  // namespace

void fault(std::string message, std::source_location where) { throw Fault(std::move(message), where); }

void raise(PyObject* type, std::string_view message) {
    set_text_error(type, message);
    throw PyErrSet{};
}

void raise_current() {
    if (PyErr_Occurred()) throw PyErrSet{};
    fault("a Python API call failed without setting an exception");
}

void print_fault(const char* what, std::string_view message, const char* file, unsigned line) {
    const int size = static_cast<int>(message.size());
    if (file != nullptr) std::fprintf(stderr, "kx_proto_sdk: %s at %s:%u: %.*s\n", what, file, line, size, message.data());
    else std::fprintf(stderr, "kx_proto_sdk: %s: %.*s\n", what, size, message.data());
}

void print_pending_error() {
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) PyErr_WriteUnraisable(nullptr);
    else PyErr_PrintEx(0);
}

Ref take_pending_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
}

Translation translate(std::exception_ptr error) {
    using Kind = Translation::Kind;
    try {
        std::rethrow_exception(error);
    } catch (const PyErrSet&) {
        return {Kind::PythonError};
    } catch (const std::bad_alloc&) {
        return {Kind::MemoryError};
    } catch (const std::length_error&) {  // a size beyond what can be allocated
        return {Kind::MemoryError};
    } catch (const data_handler::SignalArgumentError& e) {
        return {Kind::ValueError, e.what(), nullptr, 0, error};
    } catch (const Fault& f) {
        return {Kind::Fault, f.what(), f.where().file_name(), f.where().line(), error};
    } catch (const std::exception& e) {
        return {Kind::Fault, e.what(), nullptr, 0, error};
    } catch (...) {
        return {Kind::Fault};
    }
}

void set_error(const Translation& t) {
    switch (t.kind) {
        case Translation::Kind::PythonError: break;
        case Translation::Kind::MemoryError: PyErr_NoMemory(); break;
        case Translation::Kind::ValueError: set_text_error(PyExc_ValueError, t.message); break;
        case Translation::Kind::Fault: set_panic(t.message, t.file, t.line); break;
    }
}

}  // namespace kx::py
