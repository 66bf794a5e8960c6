// eeg_cap: Butterworth filters and mains-noise removal.
#include <utility>

#include "data_handler/env_noise.hpp"
#include "data_handler/filter.hpp"
#include "python/binding/args.hpp"
#include "python/binding/class_builder.hpp"
#include "python/binding/enum_class.hpp"
#include "python/eeg_cap/py_mod_eeg_cap.hpp"
#include "python/py_enums.hpp"

namespace kx::py {
namespace {

using data_handler::BandKind;
using data_handler::CutOffs;

float to_f32(PyObject* obj, const char* arg_name) { return static_cast<float>(to_f64(obj, arg_name)); }

// (data, order, cut) for the one-cut-off filters.
PyObject* single_cut_filter(const ArgSpec& spec, BandKind kind, const char* cut_name, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[4];
        spec.bind(args, nargs, kwnames, a);
        auto data = to_f32_seq(a[0], "data");
        const auto order = to_usize(a[1], "order");
        const float cut = to_f32(a[2], cut_name);
        const float fs = to_f32(a[3], "fs");
        return f32_list(data_handler::butterworth_filter(std::move(data), kind, order, {cut, cut}, fs));
    });
}

// (data, order, low_cut, high_cut, fs) for the band filters.
PyObject* band_filter(const ArgSpec& spec, BandKind kind, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[5];
        spec.bind(args, nargs, kwnames, a);
        auto data = to_f32_seq(a[0], "data");
        const auto order = to_usize(a[1], "order");
        const CutOffs cut{to_f32(a[2], "low_cut"), to_f32(a[3], "high_cut")};
        const float fs = to_f32(a[4], "fs");
        return f32_list(data_handler::butterworth_filter(std::move(data), kind, order, cut, fs));
    });
}

PyObject* apply_high_pass_filter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec spec{"apply_high_pass_filter()", {"data", "order", "high_cut", "fs"}};
    return single_cut_filter(spec, BandKind::HighPass, "high_cut", args, nargs, kwnames);
}

PyObject* apply_low_pass_filter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec spec{"apply_low_pass_filter()", {"data", "order", "low_cut", "fs"}};
    return single_cut_filter(spec, BandKind::LowPass, "low_cut", args, nargs, kwnames);
}

PyObject* apply_band_pass_filter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec spec{"apply_band_pass_filter()", {"data", "order", "low_cut", "high_cut", "fs"}};
    return band_filter(spec, BandKind::BandPass, args, nargs, kwnames);
}

PyObject* apply_band_stop_filter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec spec{"apply_band_stop_filter()", {"data", "order", "low_cut", "high_cut", "fs"}};
    return band_filter(spec, BandKind::BandStop, args, nargs, kwnames);
}

PyObject* set_env_noise_filter_cfg(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"set_env_noise_filter_cfg()", {"noise_type", "fs"}};
        PyObject* a[2];
        spec.bind(args, nargs, kwnames, a);
        const auto noise_type =
            static_cast<data_handler::NoiseTypes>(enum_code(a[0], noise_types_type(), "noise_type"));
        const float fs = to_f32(a[1], "fs");
        data_handler::set_env_noise_config(noise_type, fs);
        Py_RETURN_NONE;
    });
}

PyObject* remove_env_noise(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"remove_env_noise()", {"data"}};
        PyObject* a[1];
        spec.bind(args, nargs, kwnames, a);
        auto data = to_f32_seq(a[0], "data");
        return f32_list(data_handler::remove_env_noise(std::move(data)));
    });
}

}  // namespace

PyMethodDef g_apply_high_pass_filter_def =
    KX_METHOD("apply_high_pass_filter", apply_high_pass_filter, "(data, order, high_cut, fs)");
PyMethodDef g_apply_low_pass_filter_def =
    KX_METHOD("apply_low_pass_filter", apply_low_pass_filter, "(data, order, low_cut, fs)");
PyMethodDef g_apply_band_pass_filter_def =
    KX_METHOD("apply_band_pass_filter", apply_band_pass_filter, "(data, order, low_cut, high_cut, fs)");
PyMethodDef g_apply_band_stop_filter_def =
    KX_METHOD("apply_band_stop_filter", apply_band_stop_filter, "(data, order, low_cut, high_cut, fs)");
PyMethodDef g_set_env_noise_filter_cfg_def =
    KX_METHOD("set_env_noise_filter_cfg", set_env_noise_filter_cfg, "(noise_type, fs)");
PyMethodDef g_remove_env_noise_def = KX_METHOD("remove_env_noise", remove_env_noise, "(data)");

}  // namespace kx::py
