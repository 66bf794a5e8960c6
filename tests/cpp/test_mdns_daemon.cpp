// The discovery daemon's events and the stream that carries them from its
// thread to a coroutine. The daemon on the network is exercised through
// eeg_cap.mdns_scan() in tests/python/test_mdns.py.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "utils/mdns_daemon.hpp"

namespace {

using namespace kx::utils::mdns_daemon;
using namespace std::chrono_literals;

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

// The debug text of the next event, "the end" when the stream ended, or
// "timed out" when nothing came within `timeout` (the wait is then cancelled).
std::string receive_within(EventReceiver& rx, std::chrono::milliseconds timeout) {
    asio::io_context io;
    std::string got = "timed out";
    bool done = false;
    asio::cancellation_signal cancel;
    asio::co_spawn(io, rx.receive(),
                   asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e, std::optional<ServiceEvent> ev) {
                       done = true;
                       if (!e) got = ev ? debug_text(*ev) : "the end";
                   }));
    io.run_for(timeout);
    if (!done) {
        cancel.emit(asio::cancellation_type::all);
        io.restart();
        io.run();
    }
    return got;
}

TEST(MdnsEventStream, AfterACancelledWaitDeliversQueuedEventsInOrderThenTheEnd) {
    auto stream = std::make_shared<EventStream>();
    EventReceiver rx(stream);
    EXPECT_EQ(receive_within(rx, 20ms), "timed out");
    ASSERT_TRUE(stream->push(SearchStarted{"a"}));
    ASSERT_TRUE(stream->push(ServiceFound{"t", "x"}));
    stream->close();
    EXPECT_FALSE(stream->push(SearchStopped{"t"})) << "nothing is queued after the end";
    for (const char* expected : {R"(SearchStarted("a"))", R"(ServiceFound("t", "x"))", "the end", "the end"}) {
        EXPECT_EQ(receive_within(rx, 1s), expected);
    }
}

TEST(MdnsEventStream, AnEventOrTheEndFromAnotherThreadWakesAWaitingReader) {
    for (bool end : {false, true}) {
        auto stream = std::make_shared<EventStream>();
        EventReceiver rx(stream);
        std::thread producer([stream, end] {
            std::this_thread::sleep_for(50ms);
            if (end) stream->close();
            else stream->push(ServiceRemoved{"t", "gone"});
        });
        EXPECT_EQ(receive_within(rx, 5s), end ? "the end" : R"(ServiceRemoved("t", "gone"))");
        producer.join();
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

}  // namespace
