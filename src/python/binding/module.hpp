// Adding classes, functions and submodules to a module; each name is also appended
// to the module's __all__ list (created on first use).
#pragma once

#include <Python.h>

namespace kx::py {

// Sets `module.<name> = obj` and appends `name` to `__all__`. Throws PyErrSet on failure.
void add_object(PyObject* module, const char* name, PyObject* obj);
void add_class(PyObject* module, PyTypeObject* type);  // under the type's __name__
// `def` must live for the process; the function's __module__ is the module's name and
// its __self__ the module.
void add_function(PyObject* module, PyMethodDef* def);

}  // namespace kx::py
