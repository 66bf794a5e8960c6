// Type objects of the module's non-enum classes (created on first use).
#pragma once

#include <Python.h>

namespace kx::py {

PyTypeObject* message_parser_type();
PyTypeObject* message_stream_type();
PyTypeObject* py_tcp_client_type();
PyTypeObject* py_tcp_stream_type();

}  // namespace kx::py
