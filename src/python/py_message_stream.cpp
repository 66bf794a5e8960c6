#include "python/py_message_stream.hpp"

#include <string>
#include <utility>

#include <fmt/format.h>

#include "data_handler/eeg_consumer.hpp"
#include "proto/message_stream.hpp"
#include "python/awaitable.hpp"
#include "python/binding/class_builder.hpp"
#include "python/binding/errors.hpp"
#include "python/binding/ref.hpp"
#include "python/py_classes.hpp"

namespace kx::py {
namespace {

asio::awaitable<void> start_stream_work(proto::MessageSender sender) {
    // Subscribed here, on the runtime: messages published before this point are not seen.
    data_handler::spawn_message_consumer(sender.subscribe());
    co_return;
}

PyObject* runtime_error_object(const std::string& text) {
    Ref arg = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    return arg ? PyObject_CallOneArg(PyExc_RuntimeError, arg.get()) : nullptr;
}

// Ends and lags are the awaitable's value (RuntimeError objects), not raised.
asio::awaitable<AwaitResult> next_message_work(proto::MessageStreamHandle stream) {
    proto::StreamStep step = co_await proto::next_step(*stream);
    switch (step.kind) {
        case proto::StreamStep::Kind::Json:
            co_return AwaitResult::object(build_object([&] {
                return PyBytes_FromStringAndSize(step.json.data(), static_cast<Py_ssize_t>(step.json.size()));
            }));
        case proto::StreamStep::Kind::Lagged:
            co_return AwaitResult::object(
                build_object([&] { return runtime_error_object(fmt::format("Lagged({})", step.lost)); }));
        case proto::StreamStep::Kind::Ended:
            break;
    }
    co_return AwaitResult::object(build_object([] { return runtime_error_object("Stream ended unexpectedly"); }));
}

PyObject* stream_aiter(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto stream = Borrowed<proto::MessageStreamHandle>::shared(self, message_stream_type());
        return Py_NewRef(self);
    });
}

PyObject* stream_anext(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto stream = Borrowed<proto::MessageStreamHandle>::exclusive(self, message_stream_type());
        return spawn_awaitable(next_message_work(*stream));
    });
}

}  // namespace

PyObject* start_message_stream(const proto::MessageSender& sender) { return spawn_awaitable(start_stream_work(sender)); }

PyTypeObject* message_stream_type() {
    static TypeCell cell;
    return cell.get([] {
        return ClassSpec<proto::MessageStreamHandle>("MessageStream")
            .slot(Py_am_aiter, &stream_aiter)
            .slot(Py_am_anext, &stream_anext)
            .build();
    });
}

}  // namespace kx::py
