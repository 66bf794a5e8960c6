// PyTcpStream: an async iterator over the raw chunks of a client's connection.
// A closed channel or a receiver that fell behind yields (not raises) the
// RuntimeError object "Stream ended unexpectedly".
#include <Python.h>

#include <cstdint>
#include <optional>
#include <utility>

#include "python/async_iterator.hpp"
#include "python/awaitable.hpp"
#include "python/binding/class_builder.hpp"
#include "python/py_classes.hpp"
#include "python/py_tcp_client.hpp"
#include "utils/broadcast_drain.hpp"
#include "utils/byte_list.hpp"
#include "utils/log.hpp"

namespace kx::py {
namespace {

asio::awaitable<AwaitResult> stream_next_async(TcpStreamHandle stream) {
    auto guard = co_await stream->lock.lock();
    std::optional<AwaitResult> bytes;  // none at the close or a lag report
    co_await utils::receive_one(
        stream->rx, utils::Resume::Posted,
        [&bytes](const utils::Chunk& chunk) {
            KX_LOG_FIXED(log::Level::Debug, kPyTcpClientTarget, log::fixed::kStreamReceivedData,
                         "Received data: {}", utils::ByteList{chunk});
            bytes = AwaitResult::object(build_object([&] {
                return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.data()),
                                                 static_cast<Py_ssize_t>(chunk.size()));
            }));
        },
        // Ends this step as the close does; the next goes on at the oldest chunk still held.
        [](std::uint64_t) {});
    if (bytes) co_return std::move(*bytes);
    co_return runtime_error_value("Stream ended unexpectedly");
}

}  // namespace

AwaitResult make_tcp_stream_result(TcpStreamHandle stream) {
    return AwaitResult::object(build_object([&] { return make_instance(py_tcp_stream_type(), std::move(stream)); }));
}

PyTypeObject* py_tcp_stream_type() {
    static TypeCell cell;
    return cell.get([] {
        return build_async_iterator_type<TcpStreamHandle, &py_tcp_stream_type, &stream_next_async>("PyTcpStream");
    });
}

}  // namespace kx::py
