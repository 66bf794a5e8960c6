#include "python/async_iterator.hpp"

#include "python/binding/ref.hpp"

namespace kx::py {

AwaitResult runtime_error_value(std::string_view text) {
    return AwaitResult::object(build_object([&]() -> PyObject* {
        Ref arg = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        return arg ? PyObject_CallOneArg(PyExc_RuntimeError, arg.get()) : nullptr;
    }));
}

}  // namespace kx::py
