#include "proto/parsed_message.hpp"

#include <google/protobuf/util/message_differencer.h>

namespace kx::proto {

std::string_view OrvelMessage::direction_name() const {
    static constexpr std::string_view kNames[] = {"App2Ble", "Ble2App", "App2Mcu", "Mcu2App"};
    return kNames[value.index()];
}

const google::protobuf::Message& OrvelMessage::message() const {
    return std::visit([](const auto& v) -> const google::protobuf::Message& { return v.message; }, value);
}

bool operator==(const OrvelMessage& a, const OrvelMessage& b) {
    return a.value.index() == b.value.index() &&
           google::protobuf::util::MessageDifferencer::Equals(a.message(), b.message());
}

bool operator==(const ParsedMessage& a, const ParsedMessage& b) { return a.orvel == b.orvel; }

std::string message_type_path(const google::protobuf::Message& message) {
    return "kx_proto_sdk::generated::eeg_cap_proto::" + message.GetDescriptor()->name();
}

}  // namespace kx::proto
