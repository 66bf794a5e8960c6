// Argument binding and conversion for functions, methods and constructors.
//
// Every parameter is positional-or-keyword and required. Typical use in a fast-call body:
//     static const ArgSpec spec{"get_eeg_buffer()", {"take", "clean"}};
//     PyObject* a[2];
//     spec.bind(args, nargs, kwnames, a);
//     std::size_t take = to_usize(a[0], "take");
// Conversion failures that are TypeErrors are re-raised as "argument '<name>': <text>".
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kx::py {

class ArgSpec {
public:
    ArgSpec(const char* full_name, std::initializer_list<const char*> names)
        : full_name_(full_name), names_(names) {}

    std::size_t size() const { return names_.size(); }
    // Fast-call convention: positional args, then values of `kwnames` after them.
    // Fills `out[0..size())` with borrowed references.
    void bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;
    // tp_new / tp_call convention.
    void bind(PyObject* args, PyObject* kwargs, PyObject** out) const;

private:
    void bind_keyword(PyObject* key, PyObject* value, PyObject** out) const;
    void check_missing(PyObject** out) const;
    const char* full_name_;
    std::vector<const char*> names_;
};

// `__qualname__` of the object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* obj);

// "'<type>' object cannot be converted to '<target>'", prefixed with the argument name.
[[noreturn]] void raise_cannot_convert(PyObject* obj, std::string_view target, const char* arg_name);

// Conversions of the argument table.
std::string to_string(PyObject* obj, const char* arg_name);
std::span<const std::uint8_t> to_bytes(PyObject* obj, const char* arg_name);  // valid while obj lives
bool to_bool(PyObject* obj, const char* arg_name);
std::int32_t to_i32(PyObject* obj, const char* arg_name);
std::uint32_t to_u32(PyObject* obj, const char* arg_name);
std::size_t to_usize(PyObject* obj, const char* arg_name);
double to_f64(PyObject* obj, const char* arg_name);
// Any sequence but str, items read as doubles and rounded to float32. An exact numpy.ndarray,
// memoryview or array.array holding a contiguous 1-D float32 or float64 buffer is read
// directly, with the same values. A failed allocation throws std::bad_alloc (MemoryError at the boundary).
std::vector<float> to_f32_seq(PyObject* obj, const char* arg_name);

// New list of Python floats widened exactly from float32.
PyObject* f32_list(std::span<const float> values);

}  // namespace kx::py
