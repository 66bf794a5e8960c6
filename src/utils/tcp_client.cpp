#include "utils/tcp_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "utils/byte_list.hpp"
#include "utils/log.hpp"

namespace kx::utils {

namespace {

constexpr auto kTarget = kTcpClientTarget;
constexpr std::size_t kChunksPerRun = 16;

bool would_block(const std::error_code& ec) {
    return ec == asio::error::would_block || ec == asio::error::try_again;
}

}  // namespace

std::string os_error_text(const std::error_code& ec) {
    return fmt::format("{} (os error {})", ec.message(), ec.value());
}

IoError IoError::from(const std::error_code& ec) { return IoError{Kind::Os, os_error_text(ec)}; }

std::optional<asio::ip::address> parse_ip_literal(std::string_view text) {
    // inet_pton needs a terminated string; anything longer than the longest
    // literal cannot be one.
    std::array<char, INET6_ADDRSTRLEN + 1> buf{};
    if (text.empty() || text.size() >= buf.size() || text.find('\0') != text.npos) return std::nullopt;
    text.copy(buf.data(), text.size());
    // glibc's inet_pton takes dotted decimal only and refuses leading zeros.
    in_addr v4{};
    if (inet_pton(AF_INET, buf.data(), &v4) == 1) {
        asio::ip::address_v4::bytes_type bytes;
        std::memcpy(bytes.data(), &v4, bytes.size());
        return asio::ip::address(asio::ip::address_v4(bytes));
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, buf.data(), &v6) == 1) {
        asio::ip::address_v6::bytes_type bytes;
        std::memcpy(bytes.data(), &v6, bytes.size());
        return asio::ip::address(asio::ip::address_v6(bytes));
    }
    return std::nullopt;
}

std::string endpoint_text(const asio::ip::address& address, std::uint16_t port) {
    return fmt::format("{}:{}", address.to_string(), port);
}

TcpClient::TcpClient(asio::ip::address address, std::uint16_t port)
    : address_(std::move(address)),
      port_(port),
      slot_(std::make_shared<Slot>()),
      raw_sender_(make_broadcast<Chunk>(kRawChannelCapacity).first) {}

asio::awaitable<std::optional<IoError>> TcpClient::connect() {
    auto guard = co_await slot_->lock.lock();
    if (slot_->stream) {
        // A record may wait for the interpreter lock: the read loop need not wait
        // with it (sends from Python wait anyway, on the client lock).
        guard.unlock();
        KX_WARN(kTarget, "Connection already exists.");
        co_return std::nullopt;
    }
    KX_INFO(kTarget, "Connecting to {}", endpoint_text(address_, port_));

    const asio::ip::tcp::endpoint endpoint(address_, port_);
    asio::ip::tcp::socket socket(co_await asio::this_coro::executor);
    std::error_code ec;
    // Opened close-on-exec from the start, as Python's own sockets are: a
    // child process must not keep the connection open after the client goes.
    // (async_connect would open it without the flag.)
    const int fd = ::socket(endpoint.protocol().family(), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) co_return IoError::from(std::error_code(errno, asio::error::get_system_category()));
    socket.assign(endpoint.protocol(), fd, ec);
    if (ec) ::close(fd);
    if (!ec) {
        co_await socket.async_connect(endpoint, asio::redirect_error(asio::use_awaitable, ec));
    }
    // Non-blocking before the socket is shared: the read loop waits for
    // readability while a send may write, and neither may block a worker.
    if (!ec) socket.non_blocking(true, ec);
    if (ec) co_return IoError::from(ec);

    KX_DEBUG(kTarget, "tcp enable_listening");
    // The loop's first attempt needs the slot lock, so it finds the stream.
    // On the io_context itself, not a strand (one coroutine needs none): each
    // wake-up of the loop is then one hop, not one per strand level.
    auto& io = static_cast<asio::io_context&>(asio::query(socket.get_executor(), asio::execution::context));
    asio::co_spawn(io.get_executor(), enable_listening(slot_, raw_sender_), asio::detached);
    slot_->stream.emplace(std::move(socket));
    co_return std::nullopt;
}

asio::awaitable<void> TcpClient::enable_listening(std::shared_ptr<Slot> slot,
                                                  BroadcastSender<Chunk> sender) {
    Chunk chunk;  // read into directly; a new one only after one was published
    std::size_t run = 0;  // chunks published since the loop last waited or yielded
    for (;;) {
        bool has_stream = false;
        std::error_code ec;
        {
            auto guard = co_await slot->lock.lock();
            if (slot->stream) {
                has_stream = true;
                chunk.resize(kReadChunkSize);
                const std::size_t n = slot->stream->read_some(asio::buffer(chunk), ec);
                if (!ec) chunk.resize(n);
            }
        }
        // Every record is written without the slot lock: a record may wait for
        // the interpreter lock, and sends must not wait for that.
        if (!has_stream) {
            KX_INFO(kTarget, "No active stream.");
            co_return;
        }
        if (ec == asio::error::eof) {
            KX_INFO(kTarget, "Connection closed by peer.");
            co_return;
        }
        if (ec && !would_block(ec)) {
            KX_INFO(kTarget, "Failed to read: {}", os_error_text(ec));
            co_return;
        }
        if (!ec) {
            KX_DEBUG(kTarget, "tcp read {} bytes", chunk.size());
            KX_DEBUG(kTarget, "Received data: {}", ByteList{chunk});
            if (auto unsent = sender.send_or_return(std::exchange(chunk, Chunk{}))) {
                KX_ERROR(kTarget, "Failed to send message: SendError({})", ByteList{*unsent});
                chunk = std::move(*unsent);  // reused for the next read
            }
            // After a bounded run, let the queued receivers go first: on a
            // machine short of cores the worker woken for them may not run
            // soon, while this thread can run them now (a deferred
            // continuation queues behind them and wakes no other thread).
            if (++run == kChunksPerRun) {
                run = 0;
                co_await asio::defer(co_await asio::this_coro::executor, asio::use_awaitable);
            }
            continue;  // more may be waiting: read again before waiting
        }
        run = 0;
        // Idle: wait for data or the peer's close without the slot lock, so
        // sends go through meanwhile. The stream stays in the slot for good,
        // so it outlives the wait.
        co_await slot->stream->async_wait(asio::ip::tcp::socket::wait_read,
                                          asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            KX_INFO(kTarget, "Failed to read: {}", os_error_text(ec));
            co_return;
        }
    }
}

asio::awaitable<std::optional<IoError>> TcpClient::send(std::uint32_t msg_id,
                                                        std::span<const std::uint8_t> data) {
    auto guard = co_await slot_->lock.lock();
    if (!slot_->stream) co_return IoError{IoError::Kind::NotConnected, "No active connection"};
    KX_LOG_FIXED(log::Level::Trace, kTarget, log::fixed::kSendingMessage, "Sending message with ID: {}", msg_id);

    asio::ip::tcp::socket& stream = *slot_->stream;
    while (!data.empty()) {
        std::error_code ec;
        const std::size_t n = stream.write_some(asio::buffer(data.data(), data.size()), ec);
        if (would_block(ec)) {
            co_await stream.async_wait(asio::ip::tcp::socket::wait_write,
                                       asio::redirect_error(asio::use_awaitable, ec));
            if (ec) co_return IoError::from(ec);
            continue;
        }
        if (ec) co_return IoError::from(ec);
        if (n == 0) co_return IoError{IoError::Kind::WriteZero, "write zero"};
        data = data.subspan(n);
    }
    co_return std::nullopt;
}

}  // namespace kx::utils
