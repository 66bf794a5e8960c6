#include "python/binding/module.hpp"

#include "python/binding/errors.hpp"
#include "python/binding/ref.hpp"

namespace kx::py {

void add_object(PyObject* module, const char* name, PyObject* obj) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (dict == nullptr) raise_current();
    PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
    Ref created;
    if (all == nullptr) {
        created = Ref::steal(PyList_New(0));
        if (!created || PyDict_SetItemString(dict, "__all__", created.get()) != 0) raise_current();
        all = created.get();
    }
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all, key.get()) != 0) raise_current();
    if (PyObject_SetAttr(module, key.get(), obj) != 0) raise_current();
}

void add_class(PyObject* module, PyTypeObject* type) {
    if (type == nullptr) raise_current();
    add_object(module, _PyType_Name(type), reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) raise_current();
    Ref fn = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!fn) raise_current();
    add_object(module, def->ml_name, fn.get());
}

}  // namespace kx::py
