#include "proto/msg_parser.hpp"

#include <iterator>

#include "proto/eeg_cap/msg_builder.hpp"
#include "utils/byte_list.hpp"
#include "utils/log.hpp"

namespace kx::proto {
void append_debug(std::string& out, const DeviceMessage& message) {
    out += '(';
    append_debug_quoted(out, message.device_id());
    out += ", ";
    append_debug(out, message.message());
    out += ')';
}

MsgParser::MsgParser(std::string device_id, MsgType type)
    : MsgParser(std::move(device_id), type, utils::make_broadcast<DeviceMessage>(kMessageChannelCapacity)) {}

MsgParser::MsgParser(std::string device_id, MsgType type, Channel channel)
    : device_id_(std::move(device_id)),
      scanner_(dialect_of(type)),
      sender_(std::move(channel.first)),
      kept_receiver_(std::make_shared<MessageReceiver>(std::move(channel.second))) {
    const FrameDialect& d = scanner_.dialect();
    KX_DEBUG(kMsgParserTarget, "ParserType: {}, Project ID: 0x{:x}, Header version: {}, header_prefix: {}",
             msg_type_name(type), d.project_id, d.header_version, utils::ByteList{d.header_prefix()});
}

void MsgParser::receive_data(std::span<const std::uint8_t> data) { scanner_.receive(data, *this); }

std::optional<ProtoError> MsgParser::on_frame(const CheckedFrame& frame) {
    const FrameDialect& d = scanner_.dialect();
    const auto payload = frame_payload(d, frame.bytes, frame.padding);
    switch (d.header_version) {
        case 2: {
            const ModuleIds m = *frame_modules(d, frame.bytes);
            KX_TRACE(kMsgParserTarget, "Source module: {}, Destination module: {}, payload: {}", m.source,
                     m.destination, utils::ByteList{payload});
            if (d.type != MsgType::Orvel) return ProtoError{ProtoError::UnknownProtoType{d.type}};
            auto parsed = eeg_cap::parse_message(m.source, m.destination, payload);
            if (auto* error = std::get_if<ProtoError>(&parsed)) return std::move(*error);
            auto unsent = sender_.send_or_return(DeviceMessage(device_id_, std::move(std::get<ParsedMessage>(parsed))));
            if (unsent) KX_ERROR(kMsgParserTarget, "Failed to send message: SendError({})", *unsent);
            return std::nullopt;
        }
        case 0: {
            const ModuleIds m = *frame_modules(d, frame.bytes);
            KX_TRACE(kMsgParserTarget, "Source module: {}, Destination module: {}, payload: {}, payload_len={}",
                     m.source, m.destination, utils::ByteList{payload}, payload.size());
            return ProtoError{ProtoError::UnknownProtoType{d.type}};
        }
        case 1: return ProtoError{ProtoError::UnknownProtoType{d.type}};
        default: return ProtoError{ProtoError::UnsupportedHeaderVersion{d.type, d.header_version}};
    }
}

}  // namespace kx::proto
