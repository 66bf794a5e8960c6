// eeg_cap: the EEG sample buffer as Python reads it, block decoding and the
// two callback slots.
#include <Python.h>

#include <array>
#include <mutex>
#include <utility>

#include "data_handler/eeg_buffer.hpp"
#include "proto/eeg_cap/msg_builder.hpp"
#include "python/binding/args.hpp"
#include "python/binding/class_builder.hpp"
#include "python/binding/enum_class.hpp"
#include "python/binding/errors.hpp"
#include "python/binding/ref.hpp"
#include "python/eeg_cap/py_mod_eeg_cap.hpp"
#include "python/py_enums.hpp"

namespace kx::py {
namespace {

using data_handler::eeg_state;

// A row: the timestamp (nearest float32) followed by the decoded values (none
// for a block of another length). Decoded on the stack: one row, no vector.
PyObject* make_row(const data_handler::EegRecord& record, std::uint32_t gain) {
    const auto block = std::span(reinterpret_cast<const std::uint8_t*>(record.data.data()), record.data.size());
    std::array<float, proto::eeg_cap::kEegValuesPerBlock> values;
    const std::size_t count = proto::eeg_cap::decode_eeg_block_into(block, gain, values) ? values.size() : 0;
    Ref row = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(count + 1))));
    PyList_SET_ITEM(row.get(), 0, check(PyFloat_FromDouble(static_cast<float>(record.timestamp))));
    for (std::size_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(i + 1), check(PyFloat_FromDouble(values[i])));
    }
    return row.release();
}

PyObject* set_eeg_buffer_cfg(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"set_eeg_buffer_cfg()", {"eeg_buffer_len"}};
        PyObject* a[1];
        spec.bind(args, nargs, kwnames, a);
        eeg_state().set_buffer_len(to_usize(a[0], "eeg_buffer_len"));
        Py_RETURN_NONE;
    });
}

PyObject* clear_eeg_buffer(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        eeg_state().clear();
        Py_RETURN_NONE;
    });
}

PyObject* get_eeg_buffer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"get_eeg_buffer()", {"take", "clean"}};
        PyObject* a[2];
        spec.bind(args, nargs, kwnames, a);
        const std::size_t take = to_usize(a[0], "take");
        const bool clean = to_bool(a[1], "clean");
        auto taken = eeg_state().take_newest(take, clean);
        // Decoded with no lock held. The rows stay untracked by the cyclic
        // collector while they are built, so the collections their allocation
        // triggers do not walk them over and over; they are tracked at the end.
        const std::size_t n = taken.count();
        Ref rows = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(n))));
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* row = make_row(taken[i], taken.gain);
            PyObject_GC_UnTrack(row);
            PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
        }
        for (std::size_t i = 0; i < n; ++i) PyObject_GC_Track(PyList_GET_ITEM(rows.get(), static_cast<Py_ssize_t>(i)));
        eeg_state().recycle(std::move(taken.ring));
        return rows.release();
    });
}

PyObject* parse_eeg_data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"parse_eeg_data()", {"data", "gain"}};
        PyObject* a[2];
        spec.bind(args, nargs, kwnames, a);
        const auto data = to_bytes(a[0], "data");
        const std::uint8_t gain = enum_code(a[1], eeg_signal_gain_type(), "gain");
        return f32_list(proto::eeg_cap::decode_eeg_block(data, gain));
    });
}

// Stores a callback object; nothing calls it.
class CallbackSlot {
public:
    void store(PyObject* func) {
        PyObject* previous;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            previous = std::exchange(func_, Py_NewRef(func));
        }
        Py_XDECREF(previous);  // outside the lock: a finalizer may set the slot again
    }

private:
    std::mutex mutex_;
    PyObject* func_ = nullptr;
};

CallbackSlot& eeg_data_callback() {
    static auto* slot = new CallbackSlot();
    return *slot;
}
CallbackSlot& imu_data_callback() {
    static auto* slot = new CallbackSlot();
    return *slot;
}

template <CallbackSlot& (*Slot)(), const char* FullName>
PyObject* set_callback(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{FullName, {"func"}};
        PyObject* a[1];
        spec.bind(args, nargs, kwnames, a);
        Slot().store(a[0]);
        Py_RETURN_NONE;
    });
}

constexpr char kSetEegDataCallback[] = "set_eeg_data_callback()";
constexpr char kSetImuDataCallback[] = "ecap_set_imu_data_callback()";

}  // namespace

PyMethodDef g_set_eeg_buffer_cfg_def = KX_METHOD("set_eeg_buffer_cfg", set_eeg_buffer_cfg, "(eeg_buffer_len)");
PyMethodDef g_clear_eeg_buffer_def = KX_FUNCTION_NOARGS("clear_eeg_buffer", clear_eeg_buffer);
PyMethodDef g_get_eeg_buffer_def = KX_METHOD("get_eeg_buffer", get_eeg_buffer, "(take, clean)");
PyMethodDef g_parse_eeg_data_def = KX_METHOD("parse_eeg_data", parse_eeg_data, "(data, gain)");
PyMethodDef g_set_eeg_data_callback_def =
    KX_METHOD("set_eeg_data_callback", (set_callback<eeg_data_callback, kSetEegDataCallback>), "(func)");
PyMethodDef g_ecap_set_imu_data_callback_def =
    KX_METHOD("ecap_set_imu_data_callback", (set_callback<imu_data_callback, kSetImuDataCallback>), "(func)");

}  // namespace kx::py
