// PyTcpStream: an async iterator over the raw chunks of a client's connection.
// A closed channel or a receiver that fell behind yields (not raises) the
// RuntimeError object "Stream ended unexpectedly".
#include <Python.h>

#include <fmt/format.h>

#include "python/awaitable.hpp"
#include "python/binding/class_builder.hpp"
#include "python/binding/errors.hpp"
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
    co_return AwaitResult::object(build_object(
        [] { return PyObject_CallFunction(PyExc_RuntimeError, "s", "Stream ended unexpectedly"); }));
}

PyObject* stream_aiter(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto stream = Borrowed<TcpStreamHandle>::shared(self, py_tcp_stream_type());
        return Py_NewRef(self);
    });
}

PyObject* stream_anext(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto stream = Borrowed<TcpStreamHandle>::exclusive(self, py_tcp_stream_type());
        return spawn_awaitable(stream_next_async(*stream));
    });
}

}  // namespace

AwaitResult make_tcp_stream_result(TcpStreamHandle stream) {
    return AwaitResult::object(build_object([&] { return make_instance(py_tcp_stream_type(), std::move(stream)); }));
}

PyTypeObject* py_tcp_stream_type() {
    static TypeCell cell;
    return cell.get([] {
        return ClassSpec<TcpStreamHandle>("PyTcpStream")
            .slot(Py_am_aiter, &stream_aiter)
            .slot(Py_am_anext, &stream_anext)
            .build();
    });
}

}  // namespace kx::py
