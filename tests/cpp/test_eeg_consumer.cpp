#include "data_handler/eeg_consumer.hpp"

#include <string>

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
