// Stream parser of one device family: finds and checks the frames in the received
// bytes, decodes the EEG cap's frames and publishes each message with the parser's
// device id on the parser's message channel.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "proto/device_message.hpp"
#include "proto/frame_scanner.hpp"

namespace kx::proto {

class MsgParser : private FrameHandler {
public:
    // Creates the message channel (128 slots) and keeps its first receiver, so a
    // publish always finds a receiver while any copy of the parser lives.
    MsgParser(std::string device_id, MsgType type);

    // A copy has its own device id, buffer and frame-in-progress state and shares the
    // channel: both publish on it, bytes given to one never reach the other.
    MsgParser(const MsgParser&) = default;
    MsgParser& operator=(const MsgParser&) = default;
    MsgParser(MsgParser&&) noexcept = default;
    MsgParser& operator=(MsgParser&&) noexcept = default;

    // Never fails: protocol failures are logged and resolved by dropping bytes.
    void receive_data(std::span<const std::uint8_t> data);

    const std::string& device_id() const { return device_id_; }
    MsgType parser_type() const { return scanner_.dialect().type; }
    const FrameScanner& scanner() const { return scanner_; }
    // Subscribe here to see the messages published from now on.
    const MessageSender& sender() const { return sender_; }

private:
    using Channel = std::pair<MessageSender, MessageReceiver>;
    MsgParser(std::string device_id, MsgType type, Channel channel);
    std::optional<ProtoError> on_frame(const CheckedFrame& frame) override;

    std::string device_id_;
    FrameScanner scanner_;
    MessageSender sender_;
    std::shared_ptr<MessageReceiver> kept_receiver_;
};

}  // namespace kx::proto
