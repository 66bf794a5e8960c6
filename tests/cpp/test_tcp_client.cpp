// TcpClient against a plain blocking peer on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "log_capture.hpp"
#include "utils/tcp_client.hpp"

namespace kx::utils {
namespace {

using namespace std::chrono_literals;
using test::LogCapture;
using test::LogCaptureScope;
using tcp = asio::ip::tcp;

// Runs coroutines on a small pool, like the process runtime does.
class TcpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i) threads_.emplace_back([this] { io_.run(); });
    }
    // Lets the read loops see their peers go and end on their own, so every
    // suspended operation completes; stops the pool only if one hangs.
    void TearDown() override {
        work_.reset();
        for (int i = 0; i < 500 && !io_.stopped(); ++i) std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(io_.stopped()) << "work still pending after the test";
        io_.stop();
        for (auto& t : threads_) t.join();
    }

    template <typename T>
    std::future<T> start(asio::awaitable<T> op) {
        return asio::co_spawn(io_, std::move(op), asio::use_future);
    }
    template <typename T>
    T run(asio::awaitable<T> op) {
        auto fut = start(std::move(op));
        EXPECT_EQ(fut.wait_for(5s), std::future_status::ready);
        return fut.get();
    }

    // A TCP peer: accepts synchronously while connect() runs on the pool.
    struct Peer {
        asio::io_context io;
        tcp::acceptor acceptor;
        tcp::socket socket{io};
        explicit Peer(const asio::ip::address& addr, std::uint16_t port = 0)
            : acceptor(io, tcp::endpoint(addr, port), /*reuse_address=*/true) {}
        std::uint16_t port() const { return acceptor.local_endpoint().port(); }
    };

    std::optional<IoError> connect_to(TcpClient& client, Peer& peer) {
        auto fut = start(client.connect());
        peer.acceptor.accept(peer.socket);
        EXPECT_EQ(fut.wait_for(5s), std::future_status::ready);
        return fut.get();
    }

    // Receives until `total` bytes or the channel reports anything else.
    std::vector<Chunk> collect(BroadcastReceiver<Chunk>& rx, std::size_t total) {
        return run([&]() -> asio::awaitable<std::vector<Chunk>> {
            std::vector<Chunk> chunks;
            std::size_t got = 0;
            while (got < total) {
                auto r = co_await rx.recv();
                if (!r.has_item()) break;
                got += r.item->size();
                chunks.push_back(std::move(*r.item));
            }
            co_return chunks;
        }());
    }

    RecvStatus recv_status(BroadcastReceiver<Chunk>& rx) {
        return run([&]() -> asio::awaitable<RecvStatus> { co_return (co_await rx.recv()).status; }());
    }

    bool wait_for_record(const LogCapture& log, const std::string& message) {
        for (int i = 0; i < 500; ++i) {
            if (log.count(message) > 0) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    asio::io_context io_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_{io_.get_executor()};
    std::vector<std::thread> threads_;
    LogCapture log_;
    LogCaptureScope scope_{log_, log::Level::Trace};
};

const auto kLoopback = asio::ip::make_address("127.0.0.1");

struct LiteralCase {
    std::string_view text;
    const char* canonical;  // null: refused
};

class IpLiteralTest : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(IpLiteralTest, AcceptsExactlyOneLiteral) {
    const auto& c = GetParam();
    auto parsed = parse_ip_literal(c.text);
    if (c.canonical == nullptr) {
        EXPECT_FALSE(parsed.has_value()) << c.text;
    } else {
        ASSERT_TRUE(parsed.has_value()) << c.text;
        EXPECT_EQ(parsed->to_string(), c.canonical);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Literals, IpLiteralTest,
    ::testing::Values(LiteralCase{"192.168.1.10", "192.168.1.10"}, LiteralCase{"0.0.0.0", "0.0.0.0"},
                      LiteralCase{"::1", "::1"}, LiteralCase{"::ffff:192.168.1.10", "::ffff:192.168.1.10"},
                      LiteralCase{"2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
                      LiteralCase{"localhost", nullptr}, LiteralCase{"010.0.0.1", nullptr},
                      LiteralCase{"256.0.0.1", nullptr}, LiteralCase{"1.2.3", nullptr},
                      LiteralCase{" 1.2.3.4", nullptr}, LiteralCase{"1.2.3.4 ", nullptr},
                      LiteralCase{"[::1]", nullptr}, LiteralCase{"fe80::1%lo", nullptr},
                      LiteralCase{"1.2.3.4:80", nullptr}, LiteralCase{"", nullptr},
                      LiteralCase{"1:2:3:4:5:6:7:8:9", nullptr},
                      LiteralCase{std::string_view("1.2.3.4\0junk", 12), nullptr}));  // NUL is no end

TEST_F(TcpClientTest, RefusedConnectLeavesSlotEmptyAndRetrySucceeds) {
    Peer peer(kLoopback);
    const auto port = peer.port();
    peer.acceptor.close();  // nothing listens there now
    TcpClient client(kLoopback, port);

    auto err = run(client.connect());
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->text, "Connection refused (os error 111)");
    const std::vector<std::uint8_t> data{1};
    auto not_connected = run(client.send(1, data));
    ASSERT_TRUE(not_connected.has_value());
    EXPECT_EQ(not_connected->kind, IoError::Kind::NotConnected);
    EXPECT_EQ(not_connected->text, "No active connection");
    EXPECT_EQ(log_.count("tcp enable_listening"), 0u);

    // The same client connects once something listens on that port.
    Peer again(kLoopback, port);
    EXPECT_FALSE(connect_to(client, again).has_value());
    EXPECT_EQ(log_.count("tcp enable_listening"), 1u);
}

TEST_F(TcpClientTest, SecondConnectWarnsStartsNoSecondLoopAndUnreceivedChunksAreLost) {
    Peer peer(kLoopback);
    TcpClient client(kLoopback, peer.port());
    EXPECT_FALSE(connect_to(client, peer).has_value());
    EXPECT_EQ(log_.count(fmt::format("Connecting to 127.0.0.1:{}", peer.port())), 1u);

    EXPECT_FALSE(run(client.connect()).has_value());
    EXPECT_EQ(log_.count("Connection already exists."), 1u);
    EXPECT_EQ(log_.count("tcp enable_listening"), 1u);

    // A chunk nobody receives is logged and lost.
    const std::vector<std::uint8_t> lost{1, 2, 255};
    asio::write(peer.socket, asio::buffer(lost));
    ASSERT_TRUE(wait_for_record(log_, "Failed to send message: SendError([1, 2, 255])"));

    // One loop only: each chunk is read and published once.
    auto rx = client.subscribe();
    asio::write(peer.socket, asio::buffer(std::string("abcd")));
    auto chunks = collect(rx, 4);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0], (Chunk{'a', 'b', 'c', 'd'}));
    EXPECT_EQ(log_.count("tcp read 4 bytes"), 1u);
    EXPECT_EQ(log_.count("Received data: [97, 98, 99, 100]"), 1u);
}

TEST_F(TcpClientTest, BurstArrivesInOrderInChunksOfAtMost4096) {
    Peer peer(kLoopback);
    TcpClient client(kLoopback, peer.port());
    auto first = client.subscribe();
    auto second = client.subscribe();
    ASSERT_FALSE(connect_to(client, peer).has_value());

    std::vector<std::uint8_t> burst(10000);
    for (std::size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    asio::write(peer.socket, asio::buffer(burst));

    for (auto* rx : {&first, &second}) {
        auto chunks = collect(*rx, burst.size());
        std::vector<std::uint8_t> joined;
        for (const auto& c : chunks) {
            EXPECT_GE(c.size(), 1u);
            EXPECT_LE(c.size(), kReadChunkSize);
            joined.insert(joined.end(), c.begin(), c.end());
        }
        EXPECT_EQ(joined, burst);
    }
}

TEST_F(TcpClientTest, SendWritesAllBytesWhileReadLoopIdles) {
    Peer peer(kLoopback);
    TcpClient client(kLoopback, peer.port());
    ASSERT_FALSE(connect_to(client, peer).has_value());

    // The idle read loop must not hold the slot lock, or this would stall.
    std::vector<std::uint8_t> payload(300000);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i % 251);
    auto sent = start(client.send(7, payload));
    std::vector<std::uint8_t> got(payload.size());
    asio::read(peer.socket, asio::buffer(got));
    ASSERT_EQ(sent.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(sent.get().has_value());
    EXPECT_EQ(got, payload);
    EXPECT_EQ(log_.count("Sending message with ID: 7"), 1u);

    EXPECT_FALSE(run(client.send(8, {})).has_value());
}

TEST_F(TcpClientTest, SendAfterPeerResetReportsSystemError) {
    Peer peer(kLoopback);
    TcpClient client(kLoopback, peer.port());
    ASSERT_FALSE(connect_to(client, peer).has_value());
    peer.socket.set_option(asio::socket_base::linger(true, 0));
    peer.socket.close();  // reset
    ASSERT_TRUE(wait_for_record(log_, "Failed to read: Connection reset by peer (os error 104)"));

    const std::vector<std::uint8_t> data(64, 1);
    std::optional<IoError> err;
    for (int i = 0; i < 10 && !err; ++i) err = run(client.send(1, data));
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->kind, IoError::Kind::Os);
    EXPECT_TRUE(err->text == "Broken pipe (os error 32)" ||
                err->text == "Connection reset by peer (os error 104)")
        << err->text;
}

TEST_F(TcpClientTest, ChannelClosesWhenClientGoneWithoutReadLoop) {
    std::optional<TcpClient> client(std::in_place, kLoopback, 9);
    auto rx = client->subscribe();
    client.reset();
    EXPECT_EQ(recv_status(rx), RecvStatus::Closed);
}

TEST_F(TcpClientTest, ReadLoopKeepsChannelOpenAfterClientGoes) {
    Peer peer(kLoopback);
    std::optional<TcpClient> client(std::in_place, kLoopback, peer.port());
    auto rx = client->subscribe();
    ASSERT_FALSE(connect_to(*client, peer).has_value());
    client.reset();

    asio::write(peer.socket, asio::buffer(std::string("hi")));
    auto chunks = collect(rx, 2);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0], (Chunk{'h', 'i'}));

    peer.socket.close();  // the loop ends and with it the last sender
    EXPECT_TRUE(wait_for_record(log_, "Connection closed by peer."));
    EXPECT_EQ(recv_status(rx), RecvStatus::Closed);
}

}  // namespace
}  // namespace kx::utils
