#include "python/binding/class_builder.hpp"

#include "python/binding/args.hpp"

namespace kx::py {

PyTypeObject* build_type(const std::string& name, const std::string& doc, int basicsize, destructor dealloc,
                         std::vector<PyType_Slot> slots) {
    // CPython 3.10 copies the doc and __name__ (the part after the last dot) but points tp_name
    // at spec->name itself (3.12 copies it too): the full name is never freed, as the type never is.
    const char* full_name = (new std::string("builtins." + name))->c_str();
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
    if (!doc.empty()) slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
    slots.push_back({0, nullptr});
    PyType_Spec spec{full_name, basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", _PyType_Name(type));
    return nullptr;
}

void raise_wrong_instance(PyObject* obj, PyTypeObject* type, const char* arg_name) {
    raise_cannot_convert(obj, _PyType_Name(type), arg_name);
}

}  // namespace kx::py
