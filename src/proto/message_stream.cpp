#include "proto/message_stream.hpp"

#include <cstdint>
#include <stdexcept>

#include "proto/json_text.hpp"
#include "utils/broadcast_drain.hpp"

namespace kx::proto {

asio::awaitable<StreamStep> next_step(MessageStream& stream) {
    auto guard = co_await stream.lock.lock();
    StreamStep step;  // Ended, unless a message or a lag report comes first
    co_await utils::receive_one(
        stream.receiver, utils::Resume::Posted,
        [&step](const DeviceMessage& message) {
            step.kind = StreamStep::Kind::Json;
            step.json.reserve(128);
            if (auto error = append_json(step.json, message.message())) {
                throw std::runtime_error("Failed to write the JSON text of a message: " + debug_string(*error));
            }
        },
        [&step](std::uint64_t lost) {
            step.kind = StreamStep::Kind::Lagged;
            step.lost = lost;
        });
    co_return step;
}

}  // namespace kx::proto
