#include "python/py_enums.hpp"

#include "data_handler/enums.hpp"
#include "proto/eeg_cap/enums.hpp"
#include "proto/msg_type.hpp"
#include "python/binding/args.hpp"
#include "python/binding/class_builder.hpp"
#include "python/binding/enum_class.hpp"

namespace kx::py {
namespace {

// EegSignalGain(value): the low byte of a signed 32-bit value; unknown bytes give GAIN_NONE.
PyObject* new_eeg_signal_gain(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"EegSignalGain.__new__()", {"value"}};
        PyObject* a[1];
        spec.bind(args, kwargs, a);
        const auto byte = static_cast<std::uint8_t>(static_cast<std::uint32_t>(to_i32(a[0], "value")) & 0xFF);
        const bool known = proto::eeg_cap::kEegSignalGainTable.has_code(byte);
        return check(make_enum(type, known ? byte : 0));
    });
}

template <const utils::EnumTable& Table, newfunc Ctor = nullptr>
PyTypeObject* enum_type() {
    static TypeCell cell;
    return cell.get([] { return build_enum_type(Table, Ctor); });
}

}  // namespace

PyTypeObject* msg_type_type() { return enum_type<proto::kMsgTypeTable>(); }
PyTypeObject* noise_types_type() { return enum_type<data_handler::kNoiseTypesTable>(); }
PyTypeObject* downsampling_operations_type() { return enum_type<data_handler::kDownsamplingOperationsTable>(); }
PyTypeObject* eeg_sample_rate_type() { return enum_type<proto::eeg_cap::kEegSampleRateTable>(); }
PyTypeObject* eeg_signal_gain_type() {
    return enum_type<proto::eeg_cap::kEegSignalGainTable, &new_eeg_signal_gain>();
}
PyTypeObject* eeg_signal_source_type() { return enum_type<proto::eeg_cap::kEegSignalSourceTable>(); }
PyTypeObject* imu_sample_rate_type() { return enum_type<proto::eeg_cap::kImuSampleRateTable>(); }
PyTypeObject* wifi_security_type() { return enum_type<proto::eeg_cap::kWiFiSecurityTable>(); }

}  // namespace kx::py
