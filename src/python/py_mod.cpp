// The module's init entry and body: logging bridge, version record, classes, functions
// and the submodule eeg_cap.
#include <Python.h>

#include "python/binding/class_builder.hpp"
#include "python/binding/errors.hpp"
#include "python/binding/module.hpp"
#include "python/binding/state.hpp"
#include "python/eeg_cap/py_mod_eeg_cap.hpp"
#include "python/logging_bridge.hpp"
#include "python/py_classes.hpp"
#include "python/py_enums.hpp"
#include "utils/log.hpp"

namespace kx::py {
namespace {

constexpr const char* kTarget = "kx_proto_sdk::python::py_mod";

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "kx_proto_sdk", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
std::int64_t g_interpreter_id = -1;
PyObject* g_module = nullptr;

PyObject* get_bytes(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        KX_LOG_FIXED(log::Level::Info, kTarget, log::fixed::kGetBytes, "data len: {}", 108);
        return check(PyUnicode_FromString("hello_python"));
    });
}
PyMethodDef g_get_bytes = KX_FUNCTION_NOARGS("get_bytes", get_bytes);

// Classes of the top module, in registration order.
using TypeGetter = PyTypeObject* (*)();
constexpr TypeGetter kClasses[] = {
    &msg_type_type,
    &noise_types_type,
    &downsampling_operations_type,
    &message_parser_type,
    &message_stream_type,
    &py_tcp_client_type,
    &py_tcp_stream_type,
};

void module_body(PyObject* module) {
    install_logging_bridge();
    if (!install_process_hooks()) raise_current();
    KX_LOG_FIXED(log::Level::Info, kTarget, log::fixed::kModuleVersion, "kx_proto_sdk version: 0.1.6");
    for (TypeGetter getter : kClasses) add_class(module, getter());
    add_function(module, &g_get_bytes);
    KX_LOG_FIXED(log::Level::Trace, kTarget, log::fixed::kRegisteringEegCap, "Registering child module eeg_cap");
    PyObject* eeg_cap = make_eeg_cap_module();  // new reference
    add_object(module, "eeg_cap", eeg_cap);
    Py_DECREF(eeg_cap);
}

PyObject* init_module() {
    apply_pending_releases();
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g_interpreter_id == -1) g_interpreter_id = id;
    if (g_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "kx_proto_sdk does not support subinterpreters: it was first imported by another interpreter");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    PyObject* module = PyModule_Create2(&g_module_def, 1013);
    if (module == nullptr) return nullptr;
    PyObject* result = guarded([&]() -> PyObject* {
        module_body(module);
        return module;
    });
    if (result == nullptr) {
        Py_DECREF(module);
        return nullptr;
    }
    g_module = Py_NewRef(module);
    return module;
}

}  // namespace
}  // namespace kx::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_kx_proto_sdk() { return kx::py::init_module(); }
