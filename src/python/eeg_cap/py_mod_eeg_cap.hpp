// The submodule eeg_cap: its classes and functions, in registration order.
#pragma once

#include <Python.h>

namespace kx::py {

// New module object "eeg_cap" filled with its classes and functions (not put in sys.modules).
PyObject* make_eeg_cap_module();

// Each function of the submodule, defined by the file of its subsystem.
extern PyMethodDef g_mdns_scan_def;
extern PyMethodDef g_set_eeg_buffer_cfg_def;
extern PyMethodDef g_clear_eeg_buffer_def;
extern PyMethodDef g_get_eeg_buffer_def;
extern PyMethodDef g_parse_eeg_data_def;
extern PyMethodDef g_apply_high_pass_filter_def;
extern PyMethodDef g_apply_low_pass_filter_def;
extern PyMethodDef g_apply_band_pass_filter_def;
extern PyMethodDef g_apply_band_stop_filter_def;
extern PyMethodDef g_apply_downsampling_def;
extern PyMethodDef g_set_env_noise_filter_cfg_def;
extern PyMethodDef g_remove_env_noise_def;
extern PyMethodDef g_set_eeg_data_callback_def;
extern PyMethodDef g_ecap_set_imu_data_callback_def;

}  // namespace kx::py
