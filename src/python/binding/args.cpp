#include "python/binding/args.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include <unistd.h>

#include <fmt/format.h>

#include "python/binding/errors.hpp"
#include "python/binding/ref.hpp"

namespace kx::py {
namespace {

// Re-raises a pending TypeError as "argument '<name>': <text>" with the same cause.
[[noreturn]] void reraise_prefixed(const char* arg_name) {
    if (arg_name == nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) raise_current();
    Ref old_value = take_pending_exception();
    Ref text = Ref::steal(PyObject_Str(old_value.get()));
    if (!text) raise_current();
    Ref msg = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", arg_name, text.get()));
    if (!msg) raise_current();
    Ref err = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
    if (!err) raise_current();
    PyObject* cause = PyException_GetCause(old_value.get());  // new reference or null
    if (cause != nullptr) PyException_SetCause(err.get(), cause);  // steals
    PyErr_SetObject(PyExc_TypeError, err.get());
    throw PyErrSet{};
}

std::string join_missing(const std::vector<const char*>& missing) {
    std::string s;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) s += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        s += fmt::format("'{}'", missing[i]);
    }
    return s;
}

}  // namespace

void ArgSpec::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
    const std::size_t n = names_.size();
    if (static_cast<std::size_t>(nargs) > n) {
        raise(PyExc_TypeError, fmt::format("{} takes {} positional arguments but {} {} given", full_name_, n,
                                           nargs, nargs == 1 ? "was" : "were"));
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
    check_missing(out);
}

void ArgSpec::bind(PyObject* args, PyObject* kwargs, PyObject** out) const {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    const std::size_t n = names_.size();
    if (static_cast<std::size_t>(nargs) > n) {
        raise(PyExc_TypeError, fmt::format("{} takes {} positional arguments but {} {} given", full_name_, n,
                                           nargs, nargs == 1 ? "was" : "were"));
    }
    for (std::size_t i = 0; i < n; ++i)
        out[i] = i < static_cast<std::size_t>(nargs) ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs != nullptr) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(key, value, out);
    }
    check_missing(out);
}

void ArgSpec::bind_keyword(PyObject* key, PyObject* value, PyObject** out) const {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        raise(PyExc_TypeError, fmt::format("{} keywords must be strings", full_name_));
    }
    // The whole name, embedded NULs included: "clean\0junk" is not "clean".
    const std::string_view key_text(utf8, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (key_text != names_[i]) continue;
        if (out[i] != nullptr)
            raise(PyExc_TypeError, fmt::format("{} got multiple values for argument '{}'", full_name_, key_text));
        out[i] = value;
        return;
    }
    raise(PyExc_TypeError, fmt::format("{} got an unexpected keyword argument '{}'", full_name_, key_text));
}

void ArgSpec::check_missing(PyObject** out) const {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < names_.size(); ++i)
        if (out[i] == nullptr) missing.push_back(names_[i]);
    if (missing.empty()) return;
    raise(PyExc_TypeError, fmt::format("{} missing {} required positional argument{}: {}", full_name_,
                                       missing.size(), missing.size() == 1 ? "" : "s", join_missing(missing)));
}

std::string type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    const char* text = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return text;
}

void raise_cannot_convert(PyObject* obj, std::string_view target, const char* arg_name) {
    const std::string text = fmt::format("'{}' object cannot be converted to '{}'", type_qualname(obj), target);
    if (arg_name == nullptr) raise(PyExc_TypeError, text);
    raise(PyExc_TypeError, fmt::format("argument '{}': {}", arg_name, text));
}

std::string to_string(PyObject* obj, const char* arg_name) {
    if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString", arg_name);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) reraise_prefixed(arg_name);  // UnicodeEncodeError is not a TypeError: unchanged
    return std::string(data, static_cast<std::size_t>(size));
}

std::span<const std::uint8_t> to_bytes(PyObject* obj, const char* arg_name) {
    if (!PyBytes_Check(obj)) raise_cannot_convert(obj, "PyBytes", arg_name);
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
}

bool to_bool(PyObject* obj, const char* arg_name) {
    if (PyBool_Check(obj)) return obj == Py_True;
    if (std::strcmp(Py_TYPE(obj)->tp_name, "numpy.bool_") == 0 || std::strcmp(Py_TYPE(obj)->tp_name, "numpy.bool") == 0) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) reraise_prefixed(arg_name);
        return truth != 0;
    }
    raise_cannot_convert(obj, "PyBool", arg_name);
}

namespace {
long long to_i64(PyObject* obj, const char* arg_name) {
    const long long v = PyLong_AsLongLong(obj);  // uses __index__
    if (v == -1 && PyErr_Occurred()) reraise_prefixed(arg_name);
    return v;
}
[[noreturn]] void raise_out_of_range() {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
}
}  // namespace

std::int32_t to_i32(PyObject* obj, const char* arg_name) {
    const long long v = to_i64(obj, arg_name);
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
        raise_out_of_range();
    return static_cast<std::int32_t>(v);
}

std::uint32_t to_u32(PyObject* obj, const char* arg_name) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) reraise_prefixed(arg_name);
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            raise_out_of_range();
        }
        reraise_prefixed(arg_name);
    }
    if (v > std::numeric_limits<std::uint32_t>::max()) raise_out_of_range();
    return static_cast<std::uint32_t>(v);
}

std::size_t to_usize(PyObject* obj, const char* arg_name) {
    Ref index = PyLong_Check(obj) ? Ref::borrow(obj) : Ref::steal(PyNumber_Index(obj));
    if (!index) reraise_prefixed(arg_name);
    const std::size_t v = PyLong_AsSize_t(index.get());
    if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) reraise_prefixed(arg_name);
    return v;
}

double to_f64(PyObject* obj, const char* arg_name) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) reraise_prefixed(arg_name);
    return v;
}

namespace {
// Types whose buffer holds exactly the values their items give: the exact
// numpy.ndarray, memoryview and array.array, not subclasses (a masked array
// reads as NaN where its buffer holds the value under the mask).
bool buffer_reads_as_items(PyObject* obj) {
    if (PyMemoryView_Check(obj)) return true;  // memoryview has no subclasses
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_base != &PyBaseObject_Type) return false;
    return std::strcmp(type->tp_name, "numpy.ndarray") == 0 || std::strcmp(type->tp_name, "array.array") == 0;
}

// Reads a C-contiguous 1-D float32/float64 buffer; false when `obj` offers none.
bool read_float_buffer(PyObject* obj, std::vector<float>& out) {
    if (!buffer_reads_as_items(obj) || !PyObject_CheckBuffer(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const char* format = view.format ? view.format : "B";
    if (*format == '<' || *format == '=' || *format == '@') ++format;
    const bool is_f32 = std::strcmp(format, "f") == 0 && view.itemsize == 4;
    const bool is_f64 = std::strcmp(format, "d") == 0 && view.itemsize == 8;
    if (view.ndim != 1 || !(is_f32 || is_f64)) return false;
    const std::size_t n = static_cast<std::size_t>(view.len / view.itemsize);
    out.resize(n);
    if (is_f32) {
        std::memcpy(out.data(), view.buf, n * sizeof(float));
    } else {
        const double* src = static_cast<const double*>(view.buf);
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(src[i]);
    }
    return true;
}

// Room reserved up front from a length hint that may over-claim (a __len__
// that says more than the iteration yields); beyond it the vector grows.
constexpr std::size_t kMaxHintedReserve = std::size_t{1} << 20;

std::vector<float> read_float_items(PyObject* obj, const char* arg_name) {
    std::vector<float> out;
    if (read_float_buffer(obj, out)) return out;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obj)));
        // An item's __float__ may shrink the list: re-read the size and hold the item.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(obj, i);
            if (PyFloat_CheckExact(item)) {
                out.push_back(static_cast<float>(PyFloat_AS_DOUBLE(item)));
                continue;
            }
            const Ref held = Ref::borrow(item);
            out.push_back(static_cast<float>(to_f64(held.get(), arg_name)));
        }
        return out;
    }
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) PyErr_Clear();
    // A range's length is exact: one longer than memory fails at once, as list() does,
    // instead of growing until the system runs out (which overcommit may delay).
    else if (PyRange_Check(obj)) {
        const auto memory = static_cast<std::size_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::size_t>(sysconf(_SC_PAGE_SIZE));
        if (static_cast<std::size_t>(hint) > memory / sizeof(float)) throw std::bad_alloc();
        out.reserve(static_cast<std::size_t>(hint));
    } else out.reserve(std::min(static_cast<std::size_t>(hint), kMaxHintedReserve));
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) reraise_prefixed(arg_name);
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        out.push_back(static_cast<float>(to_f64(item.get(), arg_name)));
    }
    if (PyErr_Occurred()) reraise_prefixed(arg_name);
    return out;
}
}  // namespace

std::vector<float> to_f32_seq(PyObject* obj, const char* arg_name) {
    if (PyUnicode_Check(obj)) {
        raise(PyExc_TypeError, fmt::format("argument '{}': Can't extract `str` to `Vec`", arg_name));
    }
    if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence", arg_name);
    return read_float_items(obj, arg_name);
}

PyObject* f32_list(std::span<const float> values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) raise_current();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(static_cast<double>(values[i]));
        if (f == nullptr) raise_current();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

}  // namespace kx::py
