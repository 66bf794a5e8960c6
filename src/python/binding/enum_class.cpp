#include "python/binding/enum_class.hpp"

#include <array>
#include <string>

#include "python/binding/class_builder.hpp"
#include "python/binding/ref.hpp"

namespace kx::py {
namespace {

using EnumObject = Instance<std::uint8_t>;

struct Registered {
    PyTypeObject* type;
    const utils::EnumTable* table;
};
std::array<Registered, 16> g_registered{};
std::size_t g_count = 0;

const utils::EnumTable* table_of(PyTypeObject* type) {
    for (std::size_t i = 0; i < g_count; ++i)
        if (g_registered[i].type == type) return g_registered[i].table;
    return nullptr;
}

std::uint8_t code_of(PyObject* self) { return as_instance<std::uint8_t>(self)->contents; }

PyObject* enum_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const utils::EnumTable* table = table_of(Py_TYPE(self));
        if (table == nullptr) fault("enum class without a table");
        const auto name = table->name_of(code_of(self));
        if (!name) fault("enum object with a code its class does not name");
        const std::string text = std::string(table->class_name) + "." + std::string(*name);
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyObject* enum_int(PyObject* self) { return PyLong_FromLong(code_of(self)); }

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    const std::uint8_t code = code_of(self);
    long other_code;
    if (Py_TYPE(other) == Py_TYPE(self)) {
        other_code = code_of(other);
    } else {
        // Any int-like value 0..255; every failure means "no match", never an error.
        PyObject* index = PyNumber_Index(other);
        if (index == nullptr) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        int overflow = 0;
        other_code = PyLong_AsLongAndOverflow(index, &overflow);
        Py_DECREF(index);
        if (overflow != 0 || other_code < 0 || other_code > 255) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
    const bool equal = other_code == code;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

}  // namespace

PyTypeObject* build_enum_type(const utils::EnumTable& table, newfunc constructor) {
    ClassSpec<std::uint8_t> spec{std::string(table.class_name)};
    if (constructor != nullptr) spec.text_signature("(value)").constructor(constructor);
    spec.slot(Py_tp_repr, &enum_repr).slot(Py_nb_int, &enum_int).slot(Py_tp_richcompare, &enum_richcompare);
    PyTypeObject* type = spec.build();
    if (type == nullptr) return nullptr;
    if (g_count == g_registered.size()) {
        Py_DECREF(type);
        PyErr_SetString(PyExc_RuntimeError, "too many enum classes");
        return nullptr;
    }
    g_registered[g_count++] = {type, &table};
    for (const auto& variant : table.variants) {
        Ref value = Ref::steal(make_enum(type, variant.code));
        const std::string name(variant.name);
        if (!value || PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name.c_str(), value.get()) != 0) {
            return nullptr;  // the type stays registered but unusable; import fails with the error
        }
    }
    return type;
}

PyObject* make_enum(PyTypeObject* type, std::uint8_t code) { return make_instance<std::uint8_t>(type, std::uint8_t{code}); }

std::uint8_t enum_code(PyObject* obj, PyTypeObject* type, const char* arg_name) {
    if (Py_TYPE(obj) != type) raise_wrong_instance(obj, type, arg_name);
    return code_of(obj);
}

}  // namespace kx::py
