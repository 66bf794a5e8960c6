// Enum classes: each object holds one 8-bit code; variants are class attributes in
// declaration order; text form "<Class>.<Variant>", int(), == / != against the same
// class or an integer 0..255, no ordering and no hash.
#pragma once

#include <Python.h>

#include <cstdint>

#include "utils/enum_table.hpp"

namespace kx::py {

// Builds the class for `table`; `constructor` may be null (then calling it raises TypeError).
PyTypeObject* build_enum_type(const utils::EnumTable& table, newfunc constructor);

// New object of an enum class with the given code.
PyObject* make_enum(PyTypeObject* type, std::uint8_t code);

// Code of an argument that must be an object of exactly `type`.
std::uint8_t enum_code(PyObject* obj, PyTypeObject* type, const char* arg_name);

}  // namespace kx::py
