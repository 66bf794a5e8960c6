#include "python/py_message_stream.hpp"

#include <fmt/format.h>

#include "data_handler/eeg_consumer.hpp"
#include "proto/message_stream.hpp"
#include "python/async_iterator.hpp"
#include "python/awaitable.hpp"
#include "python/binding/class_builder.hpp"
#include "python/py_classes.hpp"

namespace kx::py {
namespace {

asio::awaitable<void> start_stream_work(proto::MessageSender sender) {
    // Subscribed here, on the runtime: messages published before this point are not seen.
    data_handler::spawn_message_consumer(sender.subscribe());
    co_return;
}

asio::awaitable<AwaitResult> next_message_work(proto::MessageStreamHandle stream) {
    proto::StreamStep step = co_await proto::next_step(*stream);
    switch (step.kind) {
        case proto::StreamStep::Kind::Json:
            co_return AwaitResult::object(build_object([&] {
                return PyBytes_FromStringAndSize(step.json.data(), static_cast<Py_ssize_t>(step.json.size()));
            }));
        case proto::StreamStep::Kind::Lagged:
            co_return runtime_error_value(fmt::format("Lagged({})", step.lost));
        case proto::StreamStep::Kind::Ended:
            break;
    }
    co_return runtime_error_value("Stream ended unexpectedly");
}

}  // namespace

PyObject* start_message_stream(const proto::MessageSender& sender) { return spawn_awaitable(start_stream_work(sender)); }

PyTypeObject* message_stream_type() {
    static TypeCell cell;
    return cell.get([] {
        return build_async_iterator_type<proto::MessageStreamHandle, &message_stream_type, &next_message_work>(
            "MessageStream");
    });
}

}  // namespace kx::py
