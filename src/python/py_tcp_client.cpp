// PyTcpClient: the device link as Python sees it. The constructor only records
// the address; connect attaches a parser and opens the connection; the command
// methods frame an AppMain request each and write it to the connection.
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <asio.hpp>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include "kx_proto_sdk_eeg_cap.pb.h"
#include "proto/eeg_cap/enums.hpp"
#include "proto/eeg_cap/msg_builder.hpp"
#include "proto/msg_parser.hpp"
#include "python/awaitable.hpp"
#include "python/binding/args.hpp"
#include "python/binding/class_builder.hpp"
#include "python/binding/errors.hpp"
#include "python/binding/ref.hpp"
#include "python/py_classes.hpp"
#include "python/py_msg_parser.hpp"
#include "python/py_tcp_client.hpp"
#include "utils/async_mutex.hpp"
#include "utils/broadcast_drain.hpp"
#include "utils/log.hpp"
#include "utils/mdns.hpp"
#include "utils/runtime.hpp"
#include "utils/tcp_client.hpp"

namespace kx::py {
namespace {

namespace msgs = ::kx_proto_sdk::eeg_cap;
using utils::Chunk;

// Ids of the command methods: one counter for the whole process, over all clients.
std::atomic<std::uint32_t> g_next_msg_id{1};

std::uint32_t take_msg_id() { return g_next_msg_id.fetch_add(1, std::memory_order_seq_cst); }

// --- argument checks ----------------------------------------------------------

std::uint16_t to_port(PyObject* obj) {
    const std::uint32_t value = to_u32(obj, "port");
    if (value > 0xFFFF) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint16_t>(value);
}

// A setting must be 0 or a code of its enum: anything else cannot be framed,
// so it is refused before an id is taken or anything is sent.
void check_setting(std::int32_t value, const char* arg_name, const utils::EnumTable& table) {
    if (value >= 0 && value <= 0xFF && table.has_code(static_cast<std::uint8_t>(value))) return;
    std::vector<int> codes;
    for (const auto& v : table.variants) codes.push_back(v.code);
    std::sort(codes.begin(), codes.end());
    raise(PyExc_ValueError, fmt::format("argument '{}': {} is not a code of {} (allowed: {})", arg_name, value,
                                        table.class_name, fmt::join(codes, ", ")));
}

// --- the send path -------------------------------------------------------------------

asio::awaitable<AwaitResult> send_async(ClientHandle client, std::uint32_t msg_id, std::vector<std::uint8_t> data) {
    std::optional<utils::IoError> error;
    {
        auto guard = co_await client->lock.lock();
        error = co_await client->client.send(msg_id, data);
    }
    if (error) co_return AwaitResult::error(PyExc_RuntimeError, fmt::format("Failed to send command to TCP server: {}", error->text));
    co_return AwaitResult::unit();
}

PyObject* send_frame(const ClientHandle& client, std::uint32_t msg_id, std::span<const std::uint8_t> frame) {
    return spawn_awaitable(send_async(client, msg_id, std::vector<std::uint8_t>(frame.begin(), frame.end())));
}

// Takes the next id, frames the request and hands it to the send path.
PyObject* send_request(const ClientHandle& client, msgs::AppMain& request) {
    request.set_msg_id(take_msg_id());
    auto [msg_id, frame] = proto::eeg_cap::encode_app_to_mcu(request);
    return send_frame(client, msg_id, frame);
}

PyTypeObject* client_type() { return py_tcp_client_type(); }

template <bool Eeg, msgs::AcqCmd Cmd>
PyObject* simple_command(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto client = Borrowed<ClientHandle>::shared(self, client_type());
        msgs::AppMain request;
        if constexpr (Eeg) request.mutable_eeg()->set_cmd(Cmd);
        else request.mutable_imu()->set_cmd(Cmd);
        return send_request(*client, request);
    });
}

PyObject* set_eeg_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"PyTcpClient.set_eeg_config()", {"sample_rate", "gain", "signal"}};
        PyObject* a[3];
        spec.bind(args, nargs, kwnames, a);
        auto client = Borrowed<ClientHandle>::shared(self, client_type());
        const std::int32_t freq = to_i32(a[0], "sample_rate");
        const std::int32_t gain = to_i32(a[1], "gain");
        const std::int32_t source = to_i32(a[2], "signal");
        check_setting(freq, "sample_rate", proto::eeg_cap::kEegSampleRateTable);
        check_setting(gain, "gain", proto::eeg_cap::kEegSignalGainTable);
        check_setting(source, "signal", proto::eeg_cap::kEegSignalSourceTable);
        msgs::AppMain request;
        auto* eeg = request.mutable_eeg();
        eeg->set_cmd(msgs::AcqCmd_CFG_SET);
        auto* config = eeg->mutable_config();
        config->set_freq(static_cast<msgs::EegSampleRateValue>(freq));
        config->set_gain(static_cast<msgs::EegGainValue>(gain));
        config->set_source(static_cast<msgs::EegSignalSourceValue>(source));
        return send_request(*client, request);
    });
}

PyObject* set_imu_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"PyTcpClient.set_imu_config()", {"sample_rate"}};
        PyObject* a[1];
        spec.bind(args, nargs, kwnames, a);
        auto client = Borrowed<ClientHandle>::shared(self, client_type());
        const std::int32_t freq = to_i32(a[0], "sample_rate");
        check_setting(freq, "sample_rate", proto::eeg_cap::kImuSampleRateTable);
        msgs::AppMain request;
        auto* imu = request.mutable_imu();
        imu->set_cmd(msgs::AcqCmd_CFG_SET);
        imu->mutable_config()->set_freq(static_cast<msgs::ImuSampleRateValue>(freq));
        return send_request(*client, request);
    });
}

PyObject* send_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"PyTcpClient.send_command()", {"msg_id", "data"}};
        PyObject* a[2];
        spec.bind(args, nargs, kwnames, a);
        auto client = Borrowed<ClientHandle>::shared(self, client_type());
        const std::uint32_t msg_id = to_u32(a[0], "msg_id");
        const auto data = to_bytes(a[1], "data");
        return send_frame(*client, msg_id, data);
    });
}

// --- connect and the receive task ------------------------------------------------------

// Hands every raw chunk to the parser copy until the channel closes. Woken by
// a post, not inline: the read loop goes on reading while this parses, so a
// parser that falls behind loses chunks (and reports it) instead of pacing
// the socket. The EEG consumers of the parsed messages store their blocks
// inline in it and write their log records from turns of their own, so this
// never waits for the interpreter lock on their behalf.
asio::awaitable<void> receive_task(proto::MsgParser parser, utils::BroadcastReceiver<Chunk> rx) {
    KX_DEBUG(kPyTcpClientTarget, "Starting receive tcp data");
    co_await utils::drain(
        rx, utils::Resume::Posted, [&parser](const Chunk& chunk) { parser.receive_data(chunk); },
        [](std::uint64_t lost) { KX_ERROR(kPyTcpClientTarget, "Error receiving tcp data: Lagged({})", lost); });
}

asio::awaitable<AwaitResult> connect_async(ClientHandle client, proto::MsgParser parser) {
    // Discovery must be over before the device is talked to.
    co_await utils::mdns::stop_scan();
    std::optional<utils::IoError> error;
    {
        auto guard = co_await client->lock.lock();
        // Subscribed before the connection exists, so the first chunk is seen.
        // On the plain executor: one coroutine needs no strand.
        asio::co_spawn(utils::runtime_executor(), receive_task(std::move(parser), client->client.subscribe()),
                       asio::detached);
        error = co_await client->client.connect();
    }
    if (error) co_return AwaitResult::error(PyExc_RuntimeError, fmt::format("Failed to connect to TCP server: {}", error->text));
    co_return AwaitResult::unit();
}

PyObject* connect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"PyTcpClient.connect()", {"py_parser"}};
        PyObject* a[1];
        spec.bind(args, nargs, kwnames, a);
        auto client = Borrowed<ClientHandle>::shared(self, client_type());
        proto::MsgParser copy = parser_copy_for_connect(a[0], "py_parser");
        return spawn_awaitable(connect_async(*client, std::move(copy)));
    });
}

// --- the raw byte stream ----------------------------------------------------------------

asio::awaitable<AwaitResult> get_data_stream_async(ClientHandle client) {
    auto guard = co_await client->lock.lock();
    auto stream = std::make_shared<TcpStreamState>(client->client.subscribe());
    co_return make_tcp_stream_result(std::move(stream));
}

PyObject* get_data_stream(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto client = Borrowed<ClientHandle>::shared(self, client_type());
        return spawn_awaitable(get_data_stream_async(*client));
    });
}

// --- the class -------------------------------------------------------------------------

PyObject* new_client(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"PyTcpClient.__new__()", {"addr", "port"}};
        PyObject* a[2];
        spec.bind(args, kwargs, a);
        const std::string addr = to_string(a[0], "addr");
        const std::uint16_t port = to_port(a[1]);
        auto address = utils::parse_ip_literal(addr);
        if (!address) {
            Ref text = Ref::steal(check(PyObject_Repr(a[0])));
            raise(PyExc_ValueError, fmt::format("invalid IP address literal: {}", PyUnicode_AsUTF8(text.get())));
        }
        auto handle = std::make_shared<ClientState>(*address, port);
        return check(make_instance(type, std::move(handle)));
    });
}

PyMethodDef g_methods[] = {
    KX_METHOD("send_command", send_command, "($self, msg_id, data)"),
    KX_METHOD("connect", connect, "($self, py_parser)"),
    KX_METHOD_NOARGS("get_data_stream", get_data_stream),
    KX_METHOD_NOARGS("start_eeg_stream", (simple_command<true, msgs::AcqCmd_ENABLE>)),
    KX_METHOD_NOARGS("stop_eeg_stream", (simple_command<true, msgs::AcqCmd_DISABLE>)),
    KX_METHOD_NOARGS("start_imu_stream", (simple_command<false, msgs::AcqCmd_ENABLE>)),
    KX_METHOD_NOARGS("stop_imu_stream", (simple_command<false, msgs::AcqCmd_DISABLE>)),
    KX_METHOD_NOARGS("get_eeg_config", (simple_command<true, msgs::AcqCmd_CFG_GET>)),
    KX_METHOD_NOARGS("get_imu_config", (simple_command<false, msgs::AcqCmd_CFG_GET>)),
    KX_METHOD("set_eeg_config", set_eeg_config, "($self, sample_rate, gain, signal)"),
    KX_METHOD("set_imu_config", set_imu_config, "($self, sample_rate)"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* py_tcp_client_type() {
    static TypeCell cell;
    return cell.get([] {
        return ClassSpec<ClientHandle>("PyTcpClient")
            .text_signature("(addr, port)")
            .constructor(&new_client)
            .methods(g_methods)
            .build();
    });
}

}  // namespace kx::py
