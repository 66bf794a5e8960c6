// The item of a parser's message channel: (device id, decoded message).
#pragma once

#include <memory>
#include <string>

#include <fmt/format.h>

#include "proto/debug_text.hpp"
#include "proto/parsed_message.hpp"
#include "utils/broadcast.hpp"

namespace kx::proto {

// Immutable and shared: every receiver of the channel gets a cheap copy.
class DeviceMessage {
public:
    DeviceMessage(std::string device_id, ParsedMessage message)
        : body_(std::make_shared<const Body>(Body{std::move(device_id), std::move(message)})) {}

    const std::string& device_id() const { return body_->device_id; }
    const ParsedMessage& message() const { return body_->message; }

private:
    struct Body {
        std::string device_id;
        ParsedMessage message;
    };
    std::shared_ptr<const Body> body_;
};

// `("cap-1", Orvel(...))`
void append_debug(std::string& out, const DeviceMessage& message);

inline constexpr std::size_t kMessageChannelCapacity = 128;
using MessageSender = utils::BroadcastSender<DeviceMessage>;
using MessageReceiver = utils::BroadcastReceiver<DeviceMessage>;

}  // namespace kx::proto

template <>
struct fmt::formatter<kx::proto::DeviceMessage> : kx::proto::DebugTextFormatter<kx::proto::DeviceMessage> {};
