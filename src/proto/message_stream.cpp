#include "proto/message_stream.hpp"

#include <stdexcept>

#include "proto/json_text.hpp"

namespace kx::proto {

asio::awaitable<StreamStep> next_step(MessageStream& stream) {
    auto guard = co_await stream.lock.lock();
    auto next = co_await stream.receiver.recv();
    StreamStep step;
    switch (next.status) {
        case utils::RecvStatus::Item: {
            step.kind = StreamStep::Kind::Json;
            step.json.reserve(128);
            if (auto error = append_json(step.json, next.item->message())) {
                throw std::runtime_error("Failed to write the JSON text of a message: " + debug_string(*error));
            }
            break;
        }
        case utils::RecvStatus::Lagged:
            step.kind = StreamStep::Kind::Lagged;
            step.lost = next.lagged;
            break;
        case utils::RecvStatus::Closed:
        case utils::RecvStatus::Empty:
            step.kind = StreamStep::Kind::Ended;
            break;
    }
    co_return step;
}

}  // namespace kx::proto
