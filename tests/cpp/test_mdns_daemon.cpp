// The Avahi-based discovery daemon and its event streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <asio.hpp>

#include "mdns_test_support.hpp"
#include "utils/mdns_daemon.hpp"

namespace {

using namespace kx::utils::mdns_daemon;
using namespace std::chrono_literals;

constexpr std::string_view kType = "_quenlor-eeg._tcp.local.";

// ---------------------------------------------------------------- event texts

TEST(MdnsEventText, NamesKindAndContents) {
    const std::vector<std::pair<ServiceEvent, std::string>> cases{
        {SearchStarted{"_a._tcp.local. on all interfaces"}, R"(SearchStarted("_a._tcp.local. on all interfaces"))"},
        {ServiceFound{"_a._tcp.local.", "x._a._tcp.local."}, R"(ServiceFound("_a._tcp.local.", "x._a._tcp.local."))"},
        {ServiceResolved{"x._a._tcp.local.", "h.local.", {"10.0.0.1", "fe80::1"}, 7},
         R"(ServiceResolved(fullname: "x._a._tcp.local.", host: "h.local.", addresses: ["10.0.0.1", "fe80::1"], port: 7))"},
        {ServiceRemoved{"_a._tcp.local.", "x._a._tcp.local."}, R"(ServiceRemoved("_a._tcp.local.", "x._a._tcp.local."))"},
        {SearchStopped{"_a._tcp.local."}, R"(SearchStopped("_a._tcp.local."))"}};
    for (const auto& [event, text] : cases) EXPECT_EQ(debug_text(event), text);
}

// ---------------------------------------------------------------- event stream

std::string kind_of(const ServiceEvent& e) {
    return std::visit(
        [](const auto& v) -> std::string {
            using E = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<E, SearchStarted>) return "SearchStarted";
            if constexpr (std::is_same_v<E, ServiceFound>) return "ServiceFound:" + v.fullname;
            if constexpr (std::is_same_v<E, ServiceResolved>) return "ServiceResolved:" + v.fullname;
            if constexpr (std::is_same_v<E, ServiceRemoved>) return "ServiceRemoved:" + v.fullname;
            return "SearchStopped";
        },
        e);
}

// Receives on an io_context owned by the test, giving up after `timeout`.
struct Received {
    bool timed_out = false;
    std::optional<ServiceEvent> event;  // nullopt: the stream ended
};

Received receive_within(asio::io_context& io, EventReceiver& rx, std::chrono::milliseconds timeout) {
    Received out;
    bool done = false;
    asio::cancellation_signal cancel;
    asio::co_spawn(io, rx.receive(),
                   asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e, std::optional<ServiceEvent> ev) {
                       done = true;
                       out.timed_out = e != nullptr;
                       out.event = std::move(ev);
                   }));
    io.restart();
    io.run_for(timeout);
    if (!done) {
        cancel.emit(asio::cancellation_type::all);
        io.restart();
        io.run();
    }
    return out;
}

TEST(MdnsEventStream, AfterACancelledWaitDeliversQueuedEventsInOrderThenTheEnd) {
    auto stream = std::make_shared<EventStream>();
    EventReceiver rx(stream);
    asio::io_context io;
    EXPECT_TRUE(receive_within(io, rx, 20ms).timed_out);
    ASSERT_TRUE(stream->push(SearchStarted{"a"}));
    ASSERT_TRUE(stream->push(ServiceFound{"t", "x"}));
    stream->close();
    EXPECT_FALSE(stream->push(SearchStopped{"t"})) << "nothing is queued after the end";
    std::vector<std::string> kinds;
    for (;;) {
        auto got = receive_within(io, rx, 1s);
        ASSERT_FALSE(got.timed_out);
        if (!got.event) break;
        kinds.push_back(kind_of(*got.event));
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"SearchStarted", "ServiceFound:x"}));
}

TEST(MdnsEventStream, AnEventOrTheEndFromAnotherThreadWakesAWaitingReader) {
    for (bool end : {false, true}) {
        auto stream = std::make_shared<EventStream>();
        EventReceiver rx(stream);
        asio::io_context io;
        std::thread producer([stream, end] {
            std::this_thread::sleep_for(50ms);
            if (end) stream->close();
            else stream->push(ServiceRemoved{"t", "gone"});
        });
        auto got = receive_within(io, rx, 5s);
        producer.join();
        EXPECT_FALSE(got.timed_out);
        EXPECT_EQ(got.event ? kind_of(*got.event) : "the end", end ? "the end" : "ServiceRemoved:gone");
    }
}

TEST(MdnsEventStream, DropsEventsBeyondTheCapAndWhenTheReceiverIsGone) {
    auto stream = std::make_shared<EventStream>();
    {
        EventReceiver rx(stream);
        for (std::size_t i = 0; i < EventStream::kMaxQueued; ++i) ASSERT_TRUE(stream->push(SearchStarted{"a"}));
        EXPECT_FALSE(stream->push(SearchStarted{"over"}));
        bool ended = true;
        EXPECT_TRUE(rx.try_receive(ended).has_value());
        EXPECT_FALSE(ended);
        EXPECT_TRUE(stream->push(SearchStarted{"room again"}));
    }
    EXPECT_TRUE(stream->closed()) << "dropping the receiver ends the stream";
    EXPECT_FALSE(stream->push(SearchStarted{"nobody reads"}));
}

// ---------------------------------------------------------------- daemon on the network

std::string full(const std::string& name) { return name + "._quenlor-eeg._tcp.local."; }

long count_kind(const std::vector<ServiceEvent>& events, const std::string& kind) {
    return std::count_if(events.begin(), events.end(), [&](auto& e) { return kind_of(e) == kind; });
}

const ServiceResolved* find_resolved(const std::vector<ServiceEvent>& events, const std::string& name) {
    for (const auto& e : events)
        if (auto* r = std::get_if<ServiceResolved>(&e); r && r->fullname == full(name)) return r;
    return nullptr;
}

class MdnsDaemonNet : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kx::test::in_loopback_only_namespace())
            GTEST_SKIP() << "opens mDNS sockets: run inside `unshare -n` with only loopback";
        if (!kx::test::responder_command()) GTEST_SKIP() << "no .venv python with the responder script";
    }

    // Starts a responder (when given arguments), then the daemon and a browse of kType in rx_.
    bool start(const std::vector<std::string>& responder_args = {}) {
        if (!responder_args.empty() && !responder_.emplace(responder_args).ready()) return false;
        auto created = Daemon::create();
        if (auto* e = std::get_if<Error>(&created)) {
            ADD_FAILURE() << e->text;
            return false;
        }
        daemon_ = std::move(std::get<std::unique_ptr<Daemon>>(created));
        rx_.emplace(browse());
        return true;
    }

    EventReceiver browse(std::string_view type = kType) {
        auto r = daemon_->browse(type);
        if (auto* e = std::get_if<Error>(&r)) throw std::runtime_error(e->text);
        return std::move(std::get<EventReceiver>(r));
    }

    // Events until `stop_at` is seen (included), the stream ends or time runs out.
    std::vector<ServiceEvent> collect(EventReceiver& rx, const std::string& stop_at,
                                      std::chrono::milliseconds timeout = 5s, bool* ended = nullptr) {
        std::vector<ServiceEvent> events;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (auto left = timeout; left.count() > 0;
             left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())) {
            auto got = receive_within(io_, rx, left);
            if (got.timed_out) break;
            if (!got.event) {
                if (ended) *ended = true;
                break;
            }
            events.push_back(std::move(*got.event));
            if (kind_of(events.back()) == stop_at) break;
        }
        return events;
    }

    std::vector<ServiceEvent> expect_search_stopped_then_the_end(EventReceiver& rx) {
        bool ended = false;
        auto events = collect(rx, "never", 2s, &ended);
        EXPECT_TRUE(ended);
        EXPECT_TRUE(!events.empty() && kind_of(events.back()) == "SearchStopped");
        return events;
    }

    asio::io_context io_;
    std::optional<kx::test::Responder> responder_;
    std::unique_ptr<Daemon> daemon_;
    std::optional<EventReceiver> rx_;
};

TEST_F(MdnsDaemonNet, ResolvesEachInstanceOnceAgainOnANewBrowseAndRemovesItOnGoodbye) {
    ASSERT_TRUE(start({"--service", "multi:4242:127.0.0.1,127.0.0.2,127.0.0.3", "--service", "single:4343:127.0.0.9",
                       "--service", "bare:5555"}));
    // Until the instance without address resolves, then a further 1.5 s: duplicates would show by then.
    auto events = collect(*rx_, "ServiceResolved:" + full("bare"));
    auto later = collect(*rx_, "never", 1500ms);
    events.insert(events.end(), later.begin(), later.end());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(kind_of(events.front()), "SearchStarted");

    const std::vector<std::tuple<std::string, int, std::vector<std::string>>> expected{
        {"multi", 4242, {"127.0.0.1", "127.0.0.2", "127.0.0.3"}}, {"single", 4343, {"127.0.0.9"}}, {"bare", 5555, {}}};
    for (const auto& [name, port, addresses] : expected) {
        const auto* resolved = find_resolved(events, name);
        ASSERT_NE(resolved, nullptr) << name;
        EXPECT_EQ(resolved->host_name, name + "-host.local.");
        EXPECT_EQ(resolved->port, port);
        auto sorted = resolved->addresses;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, addresses);
        EXPECT_EQ(count_kind(events, "ServiceFound:" + full(name)), 1) << name;
        EXPECT_EQ(count_kind(events, "ServiceResolved:" + full(name)), 1) << name;
    }
    auto pos = [&](const std::string& k) {
        return std::find_if(events.begin(), events.end(), [&](auto& e) { return kind_of(e) == k; }) - events.begin();
    };
    EXPECT_LT(pos("ServiceFound:" + full("multi")), pos("ServiceResolved:" + full("multi")));

    // A new browse of the same type ends the old one, and finds the instance
    // again from the cache or the network.
    auto second = browse();
    expect_search_stopped_then_the_end(*rx_);
    auto new_events = collect(second, "ServiceResolved:" + full("single"));
    const auto* again = find_resolved(new_events, "single");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->addresses, (std::vector<std::string>{"127.0.0.9"}));

    // The goodbye of the responder removes the instance.
    responder_->stop();
    EXPECT_EQ(count_kind(collect(second, "ServiceRemoved:" + full("single")), "ServiceRemoved:" + full("single")), 1);
}

TEST_F(MdnsDaemonNet, StopBrowseAndShutdownEndStreamsThenEveryRequestIsRefused) {
    ASSERT_TRUE(start());
    for (std::string_view bad : {"", "_x._tcp.local", "_x.local.", "._tcp.local.", "_x._tcp."}) {
        auto r = daemon_->browse(bad);
        ASSERT_TRUE(std::holds_alternative<Error>(r)) << bad;
        EXPECT_NE(std::get<Error>(r).text.find("invalid service type"), std::string::npos);
    }
    auto other = browse("_other._udp.local.");
    EXPECT_FALSE(daemon_->stop_browse(kType).has_value());
    auto events = expect_search_stopped_then_the_end(*rx_);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(kind_of(events[0]), "SearchStarted");
    EXPECT_FALSE(daemon_->stop_browse(kType).has_value()) << "stopping an absent browse is no error";

    EXPECT_FALSE(daemon_->shutdown().has_value());
    bool ended = false;
    collect(other, "never", 2s, &ended);
    EXPECT_TRUE(ended);
    auto refused = daemon_->browse(kType);
    ASSERT_TRUE(std::holds_alternative<Error>(refused));
    EXPECT_EQ(std::get<Error>(refused).text, "the mDNS daemon has shut down");
    ASSERT_TRUE(daemon_->stop_browse(kType).has_value());
    ASSERT_TRUE(daemon_->shutdown().has_value());
}

TEST_F(MdnsDaemonNet, ExclusiveCreationFailsBesideAnotherStack) {
    // The responder holds UDP 5353 on IPv4 and IPv6.
    kx::test::Responder responder({"--ipv6", "--interface", "127.0.0.1", "--interface", "::1", "--service", "x:1:127.0.0.1"});
    ASSERT_TRUE(responder.ready());
    setenv(kExclusiveEnvVar, "1", 1);
    auto created = Daemon::create();
    unsetenv(kExclusiveEnvVar);
    ASSERT_TRUE(std::holds_alternative<Error>(created));
    EXPECT_EQ(std::get<Error>(created).text, "Failed to create the mDNS daemon: No suitable network protocol available");
    // Sharing the port is the normal mode and works beside the same stack.
    EXPECT_TRUE(std::holds_alternative<std::unique_ptr<Daemon>>(Daemon::create()));
}

}  // namespace
