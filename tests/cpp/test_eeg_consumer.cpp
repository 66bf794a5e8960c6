#include "data_handler/eeg_consumer.hpp"

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>
#include <gtest/gtest.h>

#include "eeg_test_support.hpp"
#include "log_capture.hpp"
#include "proto/message_stream.hpp"

using kx::proto::DeviceMessage;
using kx::test::eeg_response;

namespace {

namespace msgs = ::kx_proto_sdk::eeg_cap;

DeviceMessage from_mcu(msgs::MainApp message) {
    return DeviceMessage("cap", kx::proto::ParsedMessage{kx::proto::OrvelMessage{kx::proto::Mcu2App{std::move(message)}}});
}

class EegConsumer : public testing::Test {
protected:
    kx::test::LogCapture sink{kx::log::Level::Debug};
    kx::test::LogCaptureScope scope{sink, kx::log::Level::Debug};
    kx::data_handler::EegState state;
    asio::io_context ctx;

    // Runs a consumer over everything sent, until the channel closes.
    void consume(kx::proto::MessageSender tx, kx::proto::MessageReceiver rx, const std::vector<DeviceMessage>& items) {
        for (const auto& item : items) tx.send(item);
        { auto gone = std::move(tx); }
        asio::co_spawn(ctx, kx::data_handler::run_message_consumer(std::move(rx), state), asio::detached);
        ctx.run();  // returns only once the consumer has ended
    }
};

}  // namespace

// Set on a thread while it is inside a send of the test's sender.
static thread_local bool t_inside_send = false;

// A program's slow log handler: the first record of the consumer's target is
// held until the test releases it. Notes for every such record whether it was
// written inside a send (on the sender's stack).
class SlowHandlerSink : public kx::test::LogCapture {
public:
    using LogCapture::LogCapture;

    void log(const kx::log::Record& r) override {
        LogCapture::log(r);
        if (r.target != kx::data_handler::kConsumerLogTarget) return;
        bool first = false;
        {
            std::lock_guard lock(mutex_);
            inside_send_.push_back(t_inside_send);
            first = inside_send_.size() == 1;
        }
        if (!first) return;
        entered_.set_value();
        released_.wait();
    }

    // Whether the held record is being written (waits up to 10 s).
    bool wait_entered() { return entered_future_.wait_for(std::chrono::seconds(10)) == std::future_status::ready; }
    void release() { release_.set_value(); }
    std::vector<bool> inside_send() const {
        std::lock_guard lock(mutex_);
        return inside_send_;
    }

private:
    std::promise<void> entered_;
    std::future<void> entered_future_ = entered_.get_future();
    std::promise<void> release_;
    std::shared_future<void> released_ = release_.get_future().share();
    mutable std::mutex mutex_;
    std::vector<bool> inside_send_;
};

DeviceMessage to_mcu(msgs::AppMain message) {
    return DeviceMessage("cap", kx::proto::ParsedMessage{kx::proto::OrvelMessage{kx::proto::App2Mcu{std::move(message)}}});
}

// Other directions are logged and store nothing: see test_eeg_buffer.py.
TEST_F(EegConsumer, LagIsLoggedWithLostCountAndConsumingGoesOn) {
    auto [tx, rx] = kx::utils::make_broadcast<DeviceMessage>(128);
    std::vector<DeviceMessage> items;
    for (std::uint32_t i = 0; i < 129; ++i) {
        msgs::MainApp m;
        *m.mutable_eeg() = eeg_response(i == 2 ? std::optional(kx::data_handler::EegConfigCodes{1, 111, 0}) : std::nullopt, {i});
        items.push_back(from_mcu(std::move(m)));
    }
    items.push_back(from_mcu(msgs::MainApp{}));  // stores nothing, logs nothing
    state.set_buffer_len(1000);
    consume(std::move(tx), std::move(rx), items);
    EXPECT_EQ(sink.messages(), (std::vector<std::string>{"Message consumer fell behind and lost 2 messages"}));
    EXPECT_EQ(state.config(), (kx::data_handler::EegConfigCodes{1, 111, 0}));
    auto kept = kx::test::timestamps_of(state.take_newest(1000, true));
    ASSERT_EQ(kept.size(), 127u);
    EXPECT_EQ(kept.front(), 2u);
}

// The consumer is woken inline by a sender on a thread of its executor (the
// parser on the receive task's thread). Its records are written from turns of
// their own: while one is held up, the sender goes on, and the consumer alone
// falls behind and then reports exactly what it lost.
TEST(EegConsumerWokenInline, HeldUpRecordHoldsUpNeitherTheSenderNorItsThread) {
    SlowHandlerSink sink{kx::log::Level::Debug};
    kx::test::LogCaptureScope scope{sink, kx::log::Level::Debug};
    kx::data_handler::EegState state;
    state.set_buffer_len(1000);
    asio::io_context ctx;
    auto [tx, rx] = kx::utils::make_broadcast<DeviceMessage>(128);
    asio::co_spawn(ctx, kx::data_handler::run_message_consumer(std::move(rx), state), asio::detached);
    ctx.poll();  // parked, so the first send wakes it inline

    constexpr std::uint32_t kEegMessages = 200;
    std::promise<void> sender_done;
    auto sender_result = sender_done.get_future();
    asio::post(ctx, [&, tx = std::move(tx)]() mutable {
        const auto send = [&tx](DeviceMessage message) {
            t_inside_send = true;
            tx.send(std::move(message));
            t_inside_send = false;
        };
        send(to_mcu(msgs::AppMain{}));
        const bool entered = sink.wait_entered();  // on the other thread, if this one is free
        for (std::uint32_t i = 0; i < kEegMessages; ++i) {
            msgs::MainApp m;
            *m.mutable_eeg() = eeg_response(std::nullopt, {i});
            send(from_mcu(std::move(m)));
        }
        { auto gone = std::move(tx); }
        if (entered) sender_done.set_value();
    });
    std::thread a([&] { ctx.run(); }), b([&] { ctx.run(); });
    const bool went_on = sender_result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    sink.release();
    a.join();
    b.join();

    ASSERT_TRUE(went_on) << "the sender waited for the consumer's record";
    // Once the sender is done its thread is a free worker that may write one.
    for (const bool inside : sink.inside_send()) EXPECT_FALSE(inside);
    // Held: the newest 128 of the 200 EEG messages; the App2Mcu message was taken before the hold.
    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("Received message: App2Mcu(AppMain {", 0), 0u) << messages[0];
    EXPECT_EQ(messages[1], "Message consumer fell behind and lost 72 messages");
    const auto kept = kx::test::timestamps_of(state.take_newest(1000, true));
    ASSERT_EQ(kept.size(), 128u);
    EXPECT_EQ(kept.front(), kEegMessages - 128);
    EXPECT_EQ(kept.back(), kEegMessages - 1);
}

TEST(MessageStreamStep, YieldsJsonLagAndEndAndSurvivesUnwritableJson) {
    asio::io_context ctx;
    auto [tx, rx] = kx::utils::make_broadcast<DeviceMessage>(2);
    auto stream = std::make_shared<kx::proto::MessageStream>(std::move(rx));
    msgs::MainApp bad;
    bad.mutable_eeg()->mutable_config()->set_gain(static_cast<msgs::EegGainValue>(7));  // no name for 7
    tx.send(from_mcu(bad));
    tx.send(from_mcu(msgs::MainApp{}));
    std::vector<std::string> seen;
    asio::co_spawn(ctx, [&, stream, tx = tx]() mutable -> asio::awaitable<void> {
            try { co_await kx::proto::next_step(*stream); seen.push_back("no error"); }
            catch (const std::runtime_error& e) { seen.push_back(e.what()); }
            auto ok = co_await kx::proto::next_step(*stream);
            seen.push_back(ok.json);
            for (int i = 0; i < 3; ++i) tx.send(from_mcu(msgs::MainApp{}));
            auto lag = co_await kx::proto::next_step(*stream);
            seen.push_back(lag.kind == kx::proto::StreamStep::Kind::Lagged ? "Lagged(" + std::to_string(lag.lost) + ")" : "?");
            { auto gone = std::move(tx); }
            co_await kx::proto::next_step(*stream);
            co_await kx::proto::next_step(*stream);
            auto end = co_await kx::proto::next_step(*stream);
            seen.push_back(end.kind == kx::proto::StreamStep::Kind::Ended ? "ended" : "?");
        }, asio::detached);
    { auto gone = std::move(tx); }
    ctx.run();
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "Failed to write the JSON text of a message: Error(\"Invalid variant 7\", line: 0, column: 0)",
                        "{\"Orvel\":{\"Mcu2App\":{}}}", "Lagged(1)", "ended"}));
}
