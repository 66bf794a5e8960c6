// Contents of the PyTcpClient and PyTcpStream objects, shared by the client's
// methods and the stream class.
#pragma once

#include <Python.h>

#include <memory>
#include <utility>

#include "python/awaitable.hpp"
#include "utils/async_mutex.hpp"
#include "utils/broadcast.hpp"
#include "utils/tcp_client.hpp"

namespace kx::py {

// Log target of the client's records and its raw streams'.
inline constexpr const char* kPyTcpClientTarget = "kx_proto_sdk::python::py_tcp_client";

// The client state behind the client lock; every method and pending
// awaitable holds a handle, so it lives as long as any of them.
struct ClientState {
    ClientState(asio::ip::address address, std::uint16_t port) : client(std::move(address), port) {}
    utils::AsyncMutex lock;
    utils::TcpClient client;
};
using ClientHandle = std::shared_ptr<ClientState>;

// One receiver of a client's raw-data channel behind the stream lock.
struct TcpStreamState {
    explicit TcpStreamState(utils::BroadcastReceiver<utils::Chunk> receiver) : rx(std::move(receiver)) {}
    utils::AsyncMutex lock;
    utils::BroadcastReceiver<utils::Chunk> rx;
};
using TcpStreamHandle = std::shared_ptr<TcpStreamState>;

// A new PyTcpStream holding `stream`, built under the interpreter lock on a worker.
AwaitResult make_tcp_stream_result(TcpStreamHandle stream);

}  // namespace kx::py
