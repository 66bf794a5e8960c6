// A message stream: one receiver of a parser's message channel behind an async
// mutex, read step by step as JSON text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <asio.hpp>

#include "proto/device_message.hpp"
#include "utils/async_mutex.hpp"

namespace kx::proto {

struct MessageStream {
    explicit MessageStream(MessageReceiver r) : receiver(std::move(r)) {}
    utils::AsyncMutex lock;  // one step at a time
    MessageReceiver receiver;
};
using MessageStreamHandle = std::shared_ptr<MessageStream>;

struct StreamStep {
    enum class Kind { Json, Ended, Lagged };
    Kind kind = Kind::Ended;
    std::string json;         // Kind::Json: the ParsedMessage's JSON text
    std::uint64_t lost = 0;   // Kind::Lagged: messages lost
};

// Waits for the next message (steps of one stream are serialised by its
// mutex). Throws std::runtime_error when the message's JSON text cannot be
// written; the stream stays usable.
asio::awaitable<StreamStep> next_step(MessageStream& stream);

}  // namespace kx::proto
