// TCP connection to one device: the connection slot, the raw-data broadcast
// channel that the read loop publishes received chunks on, connect and send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <asio.hpp>

#include "utils/async_mutex.hpp"
#include "utils/broadcast.hpp"

namespace kx::utils {

// The bytes of one read from the socket, 1 to kReadChunkSize of them.
using Chunk = std::vector<std::uint8_t>;

inline constexpr std::size_t kRawChannelCapacity = 128;
inline constexpr std::size_t kReadChunkSize = 4096;
inline constexpr std::string_view kTcpClientTarget = "kx_proto_sdk::utils::tcp_client";

// An I/O failure of the device link; `text` is what callers show.
struct IoError {
    enum class Kind { NotConnected, WriteZero, Os };
    Kind kind = Kind::Os;
    std::string text;

    static IoError from(const std::error_code& ec);
};

// "Connection refused (os error 111)": the system's description and number.
std::string os_error_text(const std::error_code& ec);

// Exactly one IPv4 (dotted decimal, no leading zeros) or IPv6 literal; no host
// names, brackets, zone index, port or blanks.
std::optional<asio::ip::address> parse_ip_literal(std::string_view text);

// "{ip}:{port}", IPv6 in compressed form without brackets.
std::string endpoint_text(const asio::ip::address& address, std::uint16_t port);

class TcpClient {
public:
    // No I/O: an empty connection slot and a raw-data channel with no receiver.
    TcpClient(asio::ip::address address, std::uint16_t port);

    // Opens the connection unless one is stored (then lets the slot lock go
    // and only warns). Otherwise holds the slot lock until the new stream is
    // stored, and starts the read loop on the io_context under the calling
    // coroutine's executor, without its strand. No time-out besides the system's.
    asio::awaitable<std::optional<IoError>> connect();

    // Writes all of `data` to the stored stream, holding the slot lock until
    // the last byte is written.
    asio::awaitable<std::optional<IoError>> send(std::uint32_t msg_id,
                                                 std::span<const std::uint8_t> data);

    // A receiver of the chunks published from now on.
    BroadcastReceiver<Chunk> subscribe() const { return raw_sender_.subscribe(); }

    const asio::ip::address& address() const { return address_; }
    std::uint16_t port() const { return port_; }

private:
    struct Slot {
        AsyncMutex lock;
        std::optional<asio::ip::tcp::socket> stream;
    };

    static asio::awaitable<void> enable_listening(std::shared_ptr<Slot> slot,
                                                  BroadcastSender<Chunk> sender);

    asio::ip::address address_;
    std::uint16_t port_;
    std::shared_ptr<Slot> slot_;
    BroadcastSender<Chunk> raw_sender_;
};

}  // namespace kx::utils
