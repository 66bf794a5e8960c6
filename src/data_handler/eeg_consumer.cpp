#include "data_handler/eeg_consumer.hpp"

#include <cstdint>
#include <utility>
#include <variant>

#include "proto/debug_text.hpp"
#include "utils/broadcast_drain.hpp"
#include "utils/log.hpp"
#include "utils/runtime.hpp"

namespace kx::data_handler {
namespace {

/// Continues on a later turn of the executor when a record at `level` would be
/// written. Woken inline, the task runs inside the sender's send (the parser's
/// scan on the receive task's thread); writing a record there would make the
/// receive task wait for the interpreter lock and the program's handlers.
asio::awaitable<void> leave_senders_stack_to_log(log::Level level) {
    if (!log::enabled(level, kConsumerLogTarget)) co_return;
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
}

/// Logs a message that stored nothing (one of another direction). `message`
/// is drain()'s item, alive until this completes.
asio::awaitable<void> log_received(const proto::DeviceMessage& message) {
    co_await leave_senders_stack_to_log(log::Level::Info);
    KX_INFO(kConsumerLogTarget, "Received message: {}", proto::debug_string(message.message().orvel));
}

asio::awaitable<void> log_lag(std::uint64_t lost) {
    co_await leave_senders_stack_to_log(log::Level::Warn);
    KX_WARN(kConsumerLogTarget, "Message consumer fell behind and lost {} messages", lost);
}

}  // namespace

bool store_eeg(const proto::DeviceMessage& message, EegState& state) {
    const auto* from_mcu = std::get_if<proto::Mcu2App>(&message.message().orvel.value);
    if (from_mcu == nullptr) return false;
    if (from_mcu->message.has_eeg()) state.apply(from_mcu->message.eeg());
    return true;
}

asio::awaitable<void> run_message_consumer(proto::MessageReceiver receiver, EegState& state) {
    // Storing holds the state's locks only briefly and never waits for
    // Python, so the parser's task may run it inline: no thread wake-up per
    // message, and no lag while the workers are busy. Only a message that is
    // logged makes a coroutine frame.
    co_await utils::drain(
        receiver, utils::Resume::InlineIfRunning,
        [&state](const proto::DeviceMessage& message) -> asio::awaitable<void> {
            if (store_eeg(message, state)) return {};
            return log_received(message);
        },
        log_lag);
}

void spawn_message_consumer(proto::MessageReceiver receiver) {
    asio::co_spawn(utils::runtime_executor(), run_message_consumer(std::move(receiver), eeg_state()),
                   asio::detached);
}

}  // namespace kx::data_handler
