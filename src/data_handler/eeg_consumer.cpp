#include "data_handler/eeg_consumer.hpp"

#include <utility>
#include <variant>

#include "proto/debug_text.hpp"
#include "utils/log.hpp"
#include "utils/runtime.hpp"

namespace kx::data_handler {

void consume_message(const proto::DeviceMessage& message, EegState& state) {
    const proto::OrvelMessage& orvel = message.message().orvel;
    if (const auto* from_mcu = std::get_if<proto::Mcu2App>(&orvel.value)) {
        if (from_mcu->message.has_eeg()) state.apply(from_mcu->message.eeg());
        return;
    }
    KX_INFO(kConsumerLogTarget, "Received message: {}", proto::debug_string(orvel));
}

asio::awaitable<void> run_message_consumer(proto::MessageReceiver receiver, EegState& state) {
    for (;;) {
        // Consuming holds the state's locks only briefly and never while it
        // logs, so the parser's task may run it inline.
        auto next = co_await receiver.recv(utils::Resume::InlineIfRunning);
        switch (next.status) {
            case utils::RecvStatus::Item:
                consume_message(*next.item, state);
                break;
            case utils::RecvStatus::Lagged:
                KX_WARN(kConsumerLogTarget, "Message consumer fell behind and lost {} messages", next.lagged);
                break;
            case utils::RecvStatus::Closed:
            case utils::RecvStatus::Empty:
                co_return;
        }
    }
}

void spawn_message_consumer(proto::MessageReceiver receiver) {
    asio::co_spawn(utils::runtime_executor(), run_message_consumer(std::move(receiver), eeg_state()),
                   asio::detached);
}

}  // namespace kx::data_handler
