// Type objects of the eight enum classes (created on first use).
#pragma once

#include <Python.h>

namespace kx::py {

PyTypeObject* msg_type_type();
PyTypeObject* noise_types_type();
PyTypeObject* downsampling_operations_type();
PyTypeObject* eeg_sample_rate_type();
PyTypeObject* eeg_signal_gain_type();
PyTypeObject* eeg_signal_source_type();
PyTypeObject* imu_sample_rate_type();
PyTypeObject* wifi_security_type();

}  // namespace kx::py
