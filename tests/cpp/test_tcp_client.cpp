// TcpClient against a plain blocking peer on loopback.
#include <gtest/gtest.h>

#include <thread>
#include <tuple>
#include <vector>

#include <asio.hpp>

#include "async_test_support.hpp"
#include "log_capture.hpp"
#include "utils/tcp_client.hpp"

namespace kx::utils {
namespace {

using namespace std::chrono_literals;

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
    std::future<T> start(asio::awaitable<T> op) { return asio::co_spawn(io_, std::move(op), asio::use_future); }
    template <typename T>
    T run(asio::awaitable<T> op) { auto fut = start(std::move(op)); return test::wait_for(fut); }

    // A TCP peer: accepts synchronously while connect() runs on the pool.
    struct Peer {
        asio::io_context io;
        asio::ip::tcp::acceptor acceptor;
        asio::ip::tcp::socket socket{io};
        explicit Peer(const asio::ip::address& addr, std::uint16_t port = 0)
            : acceptor(io, asio::ip::tcp::endpoint(addr, port), /*reuse_address=*/true) {}
        std::uint16_t port() const { return acceptor.local_endpoint().port(); }
    };

    std::optional<IoError> connect_to(TcpClient& client, Peer& peer) {
        auto fut = start(client.connect());
        peer.acceptor.accept(peer.socket);
        return test::wait_for(fut);
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

    bool wait_for_record(const test::LogCapture& log, const std::string& message) {
        for (int i = 0; i < 500 && log.count(message) == 0; ++i) std::this_thread::sleep_for(10ms);
        return log.count(message) > 0;
    }

    asio::io_context io_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_{io_.get_executor()};
    std::vector<std::thread> threads_;
    test::LogCapture log_;
    test::LogCaptureScope scope_{log_, log::Level::Trace};
};

const auto kLoopback = asio::ip::make_address("127.0.0.1");

TEST(IpLiteral, AcceptsExactlyOneLiteral) {
    const std::pair<std::string_view, std::string> cases[] = {  // "" = refused
        {"192.168.1.10", "192.168.1.10"}, {"::ffff:192.168.1.10", "::ffff:192.168.1.10"},
        {"2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"}, {"localhost", ""}, {"010.0.0.1", ""},
        {"256.0.0.1", ""}, {" 1.2.3.4", ""}, {"[::1]", ""}, {"fe80::1%lo", ""}, {"1.2.3.4:80", ""}, {"", ""},
        {std::string_view("1.2.3.4\0junk", 12), ""}};  // NUL is no end
    for (const auto& [text, canonical] : cases) {
        const auto parsed = parse_ip_literal(text);
        EXPECT_EQ(parsed ? parsed->to_string() : "", canonical) << text;
    }
}

// A refused connect leaves the slot empty; the same client connects once
// something listens, and a second connect only warns.
TEST_F(TcpClientTest, ConnectRetriesAfterRefusalAndOnlyWarnsOnceConnected) {
    Peer peer(kLoopback);
    const auto port = peer.port();
    peer.acceptor.close();  // nothing listens there now
    TcpClient client(kLoopback, port);
    auto err = run(client.connect());
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->text, "Connection refused (os error 111)");
    auto not_connected = run(client.send(1, std::vector<std::uint8_t>{1}));
    ASSERT_TRUE(not_connected.has_value());
    EXPECT_EQ(not_connected->kind, IoError::Kind::NotConnected);
    EXPECT_EQ(not_connected->text, "No active connection");

    Peer again(kLoopback, port);
    EXPECT_FALSE(connect_to(client, again).has_value());
    EXPECT_FALSE(run(client.connect()).has_value());
    EXPECT_EQ(log_.count(fmt::format("Connecting to 127.0.0.1:{}", port)), 2u);
    EXPECT_EQ(log_.count("Connection already exists."), 1u);
    EXPECT_EQ(log_.count("tcp enable_listening"), 1u);

    // A chunk nobody receives is logged and lost.
    asio::write(again.socket, asio::buffer(std::vector<std::uint8_t>{1, 2, 255}));
    ASSERT_TRUE(wait_for_record(log_, "Failed to send message: SendError([1, 2, 255])"));
    // One loop only: each chunk is read and published once.
    auto rx = client.subscribe();
    asio::write(again.socket, asio::buffer(std::string("abcd")));
    auto chunks = collect(rx, 4);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0], (Chunk{'a', 'b', 'c', 'd'}));
    EXPECT_EQ(log_.count("tcp read 4 bytes"), 1u);
    EXPECT_EQ(log_.count("Received data: [97, 98, 99, 100]"), 1u);
}

// A burst reaches every receiver in order, in chunks of at most 4096 bytes; a
// large send goes through while the read loop idles (it holds no lock then).
TEST_F(TcpClientTest, BurstArrivesInChunksAndSendsPassTheIdleReadLoop) {
    Peer peer(kLoopback);
    TcpClient client(kLoopback, peer.port());
    auto first = client.subscribe();
    auto second = client.subscribe();
    ASSERT_FALSE(connect_to(client, peer).has_value());

    std::vector<std::uint8_t> burst(10000);
    for (std::size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    asio::write(peer.socket, asio::buffer(burst));
    for (auto* rx : {&first, &second}) {
        std::vector<std::uint8_t> joined;
        for (const auto& c : collect(*rx, burst.size())) {
            EXPECT_TRUE(!c.empty() && c.size() <= kReadChunkSize) << c.size();
            joined.insert(joined.end(), c.begin(), c.end());
        }
        EXPECT_EQ(joined, burst);
    }

    std::vector<std::uint8_t> payload(300000);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i % 251);
    auto sent = start(client.send(7, payload));
    std::vector<std::uint8_t> got(payload.size());
    asio::read(peer.socket, asio::buffer(got));
    EXPECT_FALSE(test::wait_for(sent).has_value());
    EXPECT_EQ(got, payload);
    EXPECT_EQ(log_.count("Sending message with ID: 7"), 1u);
    for (const auto& r : log_.records()) {
        if (!r.message.starts_with("Sending message with ID: ")) continue;
        EXPECT_EQ(std::tie(r.file, r.line), std::tuple("src/utils/tcp_client", 132u));  // a fixed position
    }
    EXPECT_FALSE(run(client.send(8, {})).has_value());
}

// The channel's life with and without a read loop: test_tcp_stream.py.

}  // namespace
}  // namespace kx::utils
