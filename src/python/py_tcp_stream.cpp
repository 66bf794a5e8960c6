// PyTcpStream: an async iterator over the raw chunks of a client's connection.
// A closed channel or a receiver that fell behind yields (not raises) the
// RuntimeError object "Stream ended unexpectedly".
#include <Python.h>

#include <utility>

#include "python/async_iterator.hpp"
#include "python/awaitable.hpp"
#include "python/binding/class_builder.hpp"
#include "python/py_classes.hpp"
#include "python/py_tcp_client.hpp"
#include "utils/byte_list.hpp"
#include "utils/log.hpp"

namespace kx::py {
namespace {

asio::awaitable<AwaitResult> stream_next_async(TcpStreamHandle stream) {
    auto guard = co_await stream->lock.lock();
    auto r = co_await stream->rx.recv();
    if (r.has_item()) {
        const utils::Chunk& chunk = *r.item;
        KX_LOG_FIXED(log::Level::Debug, kPyTcpClientTarget, log::fixed::kStreamReceivedData, "Received data: {}",
                     utils::ByteList{chunk});
        co_return AwaitResult::object(build_object([&] {
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.data()),
                                             static_cast<Py_ssize_t>(chunk.size()));
        }));
    }
    // Closed or lagged: handed back as a value; a lagged stream goes on at the
    // oldest chunk still held.
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
