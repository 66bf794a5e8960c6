// Protocol Buffers wire bytes, frames and payloads for the protocol tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <memory>
#include <string_view>
#include <vector>

#include <google/protobuf/descriptor.h>

#include "proto/device_message.hpp"
#include "proto/dialect.hpp"
#include "proto/frame_scanner.hpp"
#include "proto/parsed_message.hpp"

namespace kx::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes varint(std::uint64_t v) {
    Bytes out;
    do {
        std::uint8_t b = v & 0x7F;
        v >>= 7;
        out.push_back(v ? (b | 0x80) : b);
    } while (v);
    return out;
}

inline Bytes key(std::uint32_t tag, std::uint32_t wire_type) {
    return varint((static_cast<std::uint64_t>(tag) << 3) | wire_type);
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Key, length and body of a length-delimited field.
inline Bytes ld(std::uint32_t tag, const Bytes& body) { return cat({key(tag, 2), varint(body.size()), body}); }

inline Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes frame_of(proto::MsgType type, std::uint8_t source, std::uint8_t destination, const Bytes& payload) {
    return proto::encode_frame(proto::dialect_of(type), {source, destination}, 0, payload);
}

inline Bytes serialized(const google::protobuf::Message& m) { return bytes_of(m.SerializeAsString()); }

// An empty catalogue message of the given name.
inline std::unique_ptr<google::protobuf::Message> new_message(std::string_view name) {
    const auto* desc = proto::msgs::MainApp::descriptor()->file()->FindMessageTypeByName(std::string(name));
    if (!desc) throw std::invalid_argument(std::string(name));
    return std::unique_ptr<google::protobuf::Message>(google::protobuf::MessageFactory::generated_factory()->GetPrototype(desc)->New());
}

// The four directions of Orvel payloads: module pair and catalogue message, in variant order.
struct Direction { const char* name; std::uint8_t source, destination; const char* message; };
constexpr Direction kDirections[] = {
    {"App2Ble", 2, 1, "AppDongle"}, {"Ble2App", 1, 2, "BleApp"}, {"App2Mcu", 2, 0, "AppMain"}, {"Mcu2App", 0, 2, "MainApp"}};

// Every message the receiver holds now.
inline std::vector<proto::DeviceMessage> drain(proto::MessageReceiver& rx) {
    std::vector<proto::DeviceMessage> out;
    for (auto r = rx.try_recv(); r.has_item(); r = rx.try_recv()) out.push_back(std::move(*r.item));
    return out;
}

// A MainApp EEG message as the cap streams it: configuration and four 108-byte samples.
inline proto::msgs::MainApp eeg_main_app(std::uint32_t msg_id) {
    proto::msgs::MainApp app;
    app.set_msg_id(msg_id);
    auto* eeg = app.mutable_eeg();
    eeg->mutable_config()->set_freq(proto::msgs::EegSampleRateValue_SR_250Hz);
    eeg->mutable_config()->set_gain(proto::msgs::EegGainValue_GAIN_24);
    eeg->mutable_config()->set_source(proto::msgs::EegSignalSourceValue_NORMAL);
    auto* d = eeg->mutable_data();
    for (std::uint32_t i = 0; i < 4; ++i) {
        auto* s = static_cast<proto::msgs::EegSample*>(d->GetReflection()->MutableMessage(d, d->GetDescriptor()->field(i)));
        s->set_timestamp(msg_id * 4 + i);
        for (std::size_t k = 0; k < 108; ++k) s->mutable_data()->push_back(static_cast<char>((k * 31 + msg_id + i) & 0xFF));
    }
    return app;
}

inline Bytes eeg_frame(std::uint32_t msg_id) {
    return frame_of(proto::MsgType::Orvel, proto::kModuleMcu, proto::kModuleApp, serialized(eeg_main_app(msg_id)));
}

// Records the frames a scanner hands over; can refuse them with a fixed error.
class RecordingHandler : public proto::FrameHandler {
public:
    std::optional<proto::ProtoError> on_frame(const proto::CheckedFrame& frame) override {
        frames.emplace_back(frame.bytes.begin(), frame.bytes.end());
        return refuse_with;
    }
    std::vector<Bytes> frames;
    std::optional<proto::ProtoError> refuse_with;
};

}  // namespace kx::test
