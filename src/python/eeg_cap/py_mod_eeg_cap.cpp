#include "python/eeg_cap/py_mod_eeg_cap.hpp"

#include "python/binding/errors.hpp"
#include "python/binding/module.hpp"
#include "python/binding/ref.hpp"
#include "python/py_enums.hpp"

namespace kx::py {
namespace {

using TypeGetter = PyTypeObject* (*)();
constexpr TypeGetter kClasses[] = {
    &eeg_sample_rate_type, &eeg_signal_gain_type, &eeg_signal_source_type, &imu_sample_rate_type, &wifi_security_type,
};

// Functions in registration order.
PyMethodDef* const kFunctions[] = {
    &g_mdns_scan_def,
    &g_set_eeg_buffer_cfg_def,
    &g_clear_eeg_buffer_def,
    &g_get_eeg_buffer_def,
    &g_parse_eeg_data_def,
    &g_apply_high_pass_filter_def,
    &g_apply_low_pass_filter_def,
    &g_apply_band_pass_filter_def,
    &g_apply_band_stop_filter_def,
    &g_apply_downsampling_def,
    &g_set_env_noise_filter_cfg_def,
    &g_remove_env_noise_def,
    &g_set_eeg_data_callback_def,
    &g_ecap_set_imu_data_callback_def,
    nullptr,
};

}  // namespace

PyObject* make_eeg_cap_module() {
    Ref module = Ref::steal(PyModule_New("eeg_cap"));
    if (!module) raise_current();
    for (TypeGetter getter : kClasses) add_class(module.get(), getter());
    for (PyMethodDef* def : kFunctions)
        if (def != nullptr) add_function(module.get(), def);
    return module.release();
}

}  // namespace kx::py
