// The Avahi-based discovery daemon and its event streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "mdns_test_support.hpp"
#include "utils/mdns_daemon.hpp"

namespace {

using namespace kx::utils::mdns_daemon;
using namespace std::chrono_literals;

constexpr std::string_view kType = "_quenlor-eeg._tcp.local.";

// ---------------------------------------------------------------- event texts

struct DebugTextCase {
    ServiceEvent event;
    std::string text;
};

void PrintTo(const DebugTextCase& c, std::ostream* os) { *os << c.text; }

class DebugText : public ::testing::TestWithParam<DebugTextCase> {};

TEST_P(DebugText, NamesKindAndContents) { EXPECT_EQ(debug_text(GetParam().event), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Events, DebugText,
    ::testing::Values(
        DebugTextCase{SearchStarted{"_a._tcp.local. on all interfaces"},
                      R"(SearchStarted("_a._tcp.local. on all interfaces"))"},
        DebugTextCase{ServiceFound{"_a._tcp.local.", "x._a._tcp.local."},
                      R"(ServiceFound("_a._tcp.local.", "x._a._tcp.local."))"},
        DebugTextCase{ServiceResolved{"x._a._tcp.local.", "h.local.", {"10.0.0.1", "fe80::1"}, 7},
                      R"(ServiceResolved(fullname: "x._a._tcp.local.", host: "h.local.", addresses: ["10.0.0.1", "fe80::1"], port: 7))"},
        DebugTextCase{ServiceRemoved{"_a._tcp.local.", "x._a._tcp.local."},
                      R"(ServiceRemoved("_a._tcp.local.", "x._a._tcp.local."))"},
        DebugTextCase{SearchStopped{"_a._tcp.local."}, R"(SearchStopped("_a._tcp.local."))"}),
    [](const auto& info) { return info.param.text.substr(0, info.param.text.find('(')); });

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

TEST(MdnsEventStream, DeliversQueuedEventsInOrderThenTheEnd) {
    auto stream = std::make_shared<EventStream>();
    EventReceiver rx(stream);
    ASSERT_TRUE(stream->push(SearchStarted{"a"}));
    ASSERT_TRUE(stream->push(ServiceFound{"t", "x"}));
    stream->close();
    EXPECT_FALSE(stream->push(SearchStopped{"t"})) << "nothing is queued after the end";

    asio::io_context io;
    std::vector<std::string> kinds;
    for (;;) {
        auto got = receive_within(io, rx, 1s);
        ASSERT_FALSE(got.timed_out);
        if (!got.event) break;
        kinds.push_back(kind_of(*got.event));
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"SearchStarted", "ServiceFound:x"}));
}

TEST(MdnsEventStream, WakesAReaderFromAnotherThread) {
    auto stream = std::make_shared<EventStream>();
    EventReceiver rx(stream);
    asio::io_context io;
    std::thread producer([stream] {
        std::this_thread::sleep_for(50ms);
        stream->push(ServiceRemoved{"t", "gone"});
    });
    auto got = receive_within(io, rx, 5s);
    producer.join();
    ASSERT_FALSE(got.timed_out);
    ASSERT_TRUE(got.event.has_value());
    EXPECT_EQ(kind_of(*got.event), "ServiceRemoved:gone");
}

TEST(MdnsEventStream, EndWakesAWaitingReader) {
    auto stream = std::make_shared<EventStream>();
    EventReceiver rx(stream);
    asio::io_context io;
    std::thread closer([stream] {
        std::this_thread::sleep_for(50ms);
        stream->close();
    });
    auto got = receive_within(io, rx, 5s);
    closer.join();
    EXPECT_FALSE(got.timed_out);
    EXPECT_FALSE(got.event.has_value());
}

TEST(MdnsEventStream, CancelledWaitLeavesTheStreamUsable) {
    auto stream = std::make_shared<EventStream>();
    EventReceiver rx(stream);
    asio::io_context io;
    EXPECT_TRUE(receive_within(io, rx, 20ms).timed_out);
    stream->push(SearchStopped{"t"});
    auto got = receive_within(io, rx, 1s);
    ASSERT_TRUE(got.event.has_value());
    EXPECT_EQ(kind_of(*got.event), "SearchStopped");
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

class MdnsDaemonNet : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kx::test::in_loopback_only_namespace())
            GTEST_SKIP() << "opens mDNS sockets: run inside `unshare -n` with only loopback";
        if (!kx::test::responder_paths()) GTEST_SKIP() << "no .venv python with the responder script";
    }

    std::unique_ptr<Daemon> make_daemon() {
        auto created = Daemon::create();
        if (auto* e = std::get_if<Error>(&created)) {
            ADD_FAILURE() << e->text;
            return nullptr;
        }
        return std::move(std::get<std::unique_ptr<Daemon>>(created));
    }

    static EventReceiver browse(Daemon& d, std::string_view type = kType) {
        auto r = d.browse(type);
        if (auto* e = std::get_if<Error>(&r)) throw std::runtime_error(e->text);
        return std::move(std::get<EventReceiver>(r));
    }

    // Events until `stop_at` is seen (included), the stream ends or time runs out.
    std::vector<ServiceEvent> collect(EventReceiver& rx, const std::string& stop_at,
                                      std::chrono::milliseconds timeout = 5s, bool* ended = nullptr) {
        std::vector<ServiceEvent> events;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
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

    static const ServiceResolved* find_resolved(const std::vector<ServiceEvent>& events, const std::string& fullname) {
        for (const auto& e : events)
            if (auto* r = std::get_if<ServiceResolved>(&e); r && r->fullname == fullname) return r;
        return nullptr;
    }

    asio::io_context io_;
};

TEST_F(MdnsDaemonNet, ResolvesEachInstanceOnceWithEveryAddressOfItsHost) {
    kx::test::Responder responder({"--service", "multi:4242:127.0.0.1,127.0.0.2,127.0.0.3", "--service", "single:4343:127.0.0.9"});
    ASSERT_TRUE(responder.ready());
    auto daemon = make_daemon();
    ASSERT_TRUE(daemon);
    auto rx = browse(*daemon);

    // Wait past both resolutions and a further second: duplicates would show by then.
    auto events = collect(rx, "never", 2500ms);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(kind_of(events.front()), "SearchStarted");

    const auto* multi = find_resolved(events, "multi._quenlor-eeg._tcp.local.");
    ASSERT_NE(multi, nullptr);
    EXPECT_EQ(multi->host_name, "multi-host.local.");
    EXPECT_EQ(multi->port, 4242);
    auto addresses = multi->addresses;
    std::sort(addresses.begin(), addresses.end());
    EXPECT_EQ(addresses, (std::vector<std::string>{"127.0.0.1", "127.0.0.2", "127.0.0.3"}));

    const auto* single = find_resolved(events, "single._quenlor-eeg._tcp.local.");
    ASSERT_NE(single, nullptr);
    EXPECT_EQ(single->addresses, (std::vector<std::string>{"127.0.0.9"}));
    EXPECT_EQ(single->port, 4343);

    for (std::string name : {"multi", "single"}) {
        const std::string full = name + "._quenlor-eeg._tcp.local.";
        EXPECT_EQ(std::count_if(events.begin(), events.end(), [&](auto& e) { return kind_of(e) == "ServiceFound:" + full; }), 1);
        EXPECT_EQ(std::count_if(events.begin(), events.end(), [&](auto& e) { return kind_of(e) == "ServiceResolved:" + full; }), 1);
    }
    // Found comes before resolved.
    auto pos = [&](const std::string& k) {
        return std::find_if(events.begin(), events.end(), [&](auto& e) { return kind_of(e) == k; }) - events.begin();
    };
    EXPECT_LT(pos("ServiceFound:multi._quenlor-eeg._tcp.local."), pos("ServiceResolved:multi._quenlor-eeg._tcp.local."));
}

TEST_F(MdnsDaemonNet, InstanceWithoutAddressResolvesWithAnEmptySet) {
    kx::test::Responder responder({"--service", "bare:5555"});
    ASSERT_TRUE(responder.ready());
    auto daemon = make_daemon();
    ASSERT_TRUE(daemon);
    auto rx = browse(*daemon);
    auto events = collect(rx, "ServiceResolved:bare._quenlor-eeg._tcp.local.", 5s);
    const auto* bare = find_resolved(events, "bare._quenlor-eeg._tcp.local.");
    ASSERT_NE(bare, nullptr);
    EXPECT_TRUE(bare->addresses.empty());
    EXPECT_EQ(bare->port, 5555);
}

TEST_F(MdnsDaemonNet, GoodbyeOfTheResponderRemovesTheInstance) {
    kx::test::Responder responder({"--service", "leaving:4000:127.0.0.1"});
    ASSERT_TRUE(responder.ready());
    auto daemon = make_daemon();
    ASSERT_TRUE(daemon);
    auto rx = browse(*daemon);
    ASSERT_NE(find_resolved(collect(rx, "ServiceResolved:leaving._quenlor-eeg._tcp.local."), "leaving._quenlor-eeg._tcp.local."), nullptr);
    responder.stop();
    auto after = collect(rx, "ServiceRemoved:leaving._quenlor-eeg._tcp.local.", 5s);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(kind_of(after.back()), "ServiceRemoved:leaving._quenlor-eeg._tcp.local.");
}

TEST_F(MdnsDaemonNet, StopBrowseSendsSearchStoppedThenEndsTheStream) {
    auto daemon = make_daemon();
    ASSERT_TRUE(daemon);
    auto rx = browse(*daemon);
    EXPECT_FALSE(daemon->stop_browse(kType).has_value());
    bool ended = false;
    auto events = collect(rx, "never", 2s, &ended);
    EXPECT_TRUE(ended);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(kind_of(events[0]), "SearchStarted");
    EXPECT_EQ(kind_of(events[1]), "SearchStopped");
    EXPECT_FALSE(daemon->stop_browse(kType).has_value()) << "stopping an absent browse is no error";
}

TEST_F(MdnsDaemonNet, ANewBrowseOfTheSameTypeEndsTheOldOne) {
    kx::test::Responder responder({"--service", "again:4100:127.0.0.5"});
    ASSERT_TRUE(responder.ready());
    auto daemon = make_daemon();
    ASSERT_TRUE(daemon);
    auto first = browse(*daemon);
    auto second = browse(*daemon);
    bool ended = false;
    auto old_events = collect(first, "never", 2s, &ended);
    EXPECT_TRUE(ended);
    ASSERT_FALSE(old_events.empty());
    EXPECT_EQ(kind_of(old_events.back()), "SearchStopped");
    // The new browse finds the instance again, from the cache or the network.
    auto events = collect(second, "ServiceResolved:again._quenlor-eeg._tcp.local.");
    const auto* again = find_resolved(events, "again._quenlor-eeg._tcp.local.");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->addresses, (std::vector<std::string>{"127.0.0.5"}));
}

TEST_F(MdnsDaemonNet, ShutdownEndsStreamsAndRefusesEveryLaterRequest) {
    auto daemon = make_daemon();
    ASSERT_TRUE(daemon);
    auto rx = browse(*daemon);
    auto other = browse(*daemon, "_other._udp.local.");
    EXPECT_FALSE(daemon->shutdown().has_value());
    for (auto* r : {&rx, &other}) {
        bool ended = false;
        collect(*r, "never", 2s, &ended);
        EXPECT_TRUE(ended);
    }
    auto refused = daemon->browse(kType);
    ASSERT_TRUE(std::holds_alternative<Error>(refused));
    EXPECT_EQ(std::get<Error>(refused).text, "the mDNS daemon has shut down");
    ASSERT_TRUE(daemon->stop_browse(kType).has_value());
    ASSERT_TRUE(daemon->shutdown().has_value());
}

TEST_F(MdnsDaemonNet, MalformedServiceTypesAreRefused) {
    auto daemon = make_daemon();
    ASSERT_TRUE(daemon);
    for (std::string_view bad : {"", "_x._tcp.local", "_x.local.", "._tcp.local.", "_x._tcp."}) {
        auto r = daemon->browse(bad);
        ASSERT_TRUE(std::holds_alternative<Error>(r)) << bad;
        EXPECT_NE(std::get<Error>(r).text.find("invalid service type"), std::string::npos);
    }
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
    auto shared = Daemon::create();
    EXPECT_TRUE(std::holds_alternative<std::unique_ptr<Daemon>>(shared));
}

}  // namespace
