// Filter-related helpers of the submodule eeg_cap beyond its public functions.
#pragma once

#include <Python.h>

namespace kx::py {

// Adds `_butterworth_sos(kind, order, low_cut, high_cut, fs)`, the designed
// sections as 6-tuples, as a private attribute (not listed in __all__) so
// tests can compare the design itself.
void add_filter_design_probe(PyObject* module);

}  // namespace kx::py
