// eeg_cap: window downsampling.
#include "data_handler/downsampling.hpp"
#include "python/binding/args.hpp"
#include "python/binding/class_builder.hpp"
#include "python/binding/enum_class.hpp"
#include "python/eeg_cap/py_mod_eeg_cap.hpp"
#include "python/py_enums.hpp"

namespace kx::py {
namespace {

PyObject* apply_downsampling(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"apply_downsampling()", {"data", "window_size", "operation"}};
        PyObject* a[3];
        spec.bind(args, nargs, kwnames, a);
        const auto data = to_f32_seq(a[0], "data");
        const auto window_size = to_usize(a[1], "window_size");
        const auto operation = static_cast<data_handler::DownsamplingOperations>(
            enum_code(a[2], downsampling_operations_type(), "operation"));
        return f32_list(data_handler::downsample(data, window_size, operation));
    });
}

}  // namespace

PyMethodDef g_apply_downsampling_def =
    KX_METHOD("apply_downsampling", apply_downsampling, "(data, window_size, operation)");

}  // namespace kx::py
