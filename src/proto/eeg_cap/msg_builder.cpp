#include "proto/eeg_cap/msg_builder.hpp"

#include <array>
#include <bit>
#include <stdexcept>
#include <string>

#include "proto/enums.hpp"
#include "proto/json_text.hpp"
#include "utils/byte_list.hpp"
#include "utils/log.hpp"

namespace kx::proto::eeg_cap {
namespace {

constexpr const char* kTarget = "kx_proto_sdk::proto::eeg_cap::msg_builder";
constexpr const char* kBuilderTarget = "kx_proto_sdk::proto::eeg_cap::msg_builder::eeg_cap_msg_builder";

template <class Direction>
std::variant<ParsedMessage, ProtoError> decode_as(std::span<const std::uint8_t> payload) {
    ParsedMessage parsed{OrvelMessage{Direction{}}};
    auto& message = std::get<Direction>(parsed.orvel.value).message;
    if (auto error = decode_payload(payload, message)) return std::move(*error);
    return parsed;
}

}  // namespace

std::variant<ParsedMessage, ProtoError> parse_message(std::uint8_t source, std::uint8_t destination,
                                                      std::span<const std::uint8_t> payload) {
    KX_LOG_FIXED(log::Level::Trace, kTarget, log::fixed::kParseMessage, "parse_message: {}, {}, {}", source,
                 destination, utils::ByteList{payload});
    if (source == kModuleApp) {
        if (destination == kModuleBle) return decode_as<App2Ble>(payload);
        if (destination == kModuleMcu) return decode_as<App2Mcu>(payload);
        return ProtoError{ProtoError::InvalidDestinationModule{MsgType::Orvel, destination}};
    }
    if (destination != kModuleApp) return ProtoError{ProtoError::InvalidModule{MsgType::Orvel, source, destination}};
    if (source == kModuleBle) return decode_as<Ble2App>(payload);
    if (source == kModuleMcu) return decode_as<Mcu2App>(payload);
    return ProtoError{ProtoError::InvalidSourceModule{MsgType::Orvel, source}};
}

const MsgBuilder& eeg_cap_msg_builder() {
    static const MsgBuilder builder(MsgType::Orvel);
    return builder;
}

std::pair<std::uint32_t, std::vector<std::uint8_t>> encode_app_to_mcu(const msgs::AppMain& request) {
    if (log::enabled(log::Level::Info, kBuilderTarget)) {
        std::string json;
        json.reserve(128);
        if (auto error = append_json(json, request)) {
            std::string text = "called `Result::unwrap()` on an `Err` value: ";
            append_debug(text, *error);
            throw std::logic_error(text);
        }
        KX_INFO(kBuilderTarget, "encode_app_to_mcu: {}", json);
    }
    const MsgBuilder& builder = eeg_cap_msg_builder();
    if (builder.builder_type() != MsgType::Orvel) throw std::logic_error("Invalid message type");
    const std::string payload = request.SerializeAsString();
    auto frame = builder.build_frame(ModuleIds{kModuleApp, kModuleMcu},
                                     {reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()});
    return {request.msg_id(), std::move(frame)};
}

float eeg_gain_factor(std::uint32_t gain_code) {
    static constexpr std::array<float, 7> kFactors{1, 2, 4, 6, 8, 12, 24};
    const std::uint32_t index = std::rotr(gain_code - 15u, 4);
    return index < kFactors.size() ? kFactors[index] : 6.0f;
}

bool decode_eeg_block_into(std::span<const std::uint8_t> data, std::uint32_t gain_code,
                           std::span<float, kEegValuesPerBlock> out) {
    if (data.size() % 3 != 0) {
        KX_LOG_FIXED(log::Level::Error, kTarget, log::fixed::kEegLengthNotTriples, "Invalid data length: {}",
                     data.size());
        return false;
    }
    if (data.size() != kEegBlockLength) {
        KX_LOG_FIXED(log::Level::Error, kTarget, log::fixed::kEegLengthNotBlock, "Invalid data length: {}",
                     data.size());
        return false;
    }
    // Every step is rounded to single precision, in this order.
    const float step = (9.0f / eeg_gain_factor(gain_code)) * 0x1p-24f;
    std::size_t next = 0;
    // 36 groups of 3 bytes; every ninth (0, 9, 18, 27) is a frame's status word.
    for (std::size_t group = 1; group < kEegBlockLength / 3; ++group) {
        if (group % 9 == 0) continue;
        const std::uint8_t* b = data.data() + 3 * group;
        std::int32_t count = b[0] << 16 | b[1] << 8 | b[2];
        if (b[0] >= 0x80) count -= 1 << 24;
        const float scaled = static_cast<float>(count) * step;
        out[next++] = scaled * 1000000.0f;
    }
    return true;
}

std::vector<float> decode_eeg_block(std::span<const std::uint8_t> data, std::uint32_t gain_code) {
    std::vector<float> values(kEegValuesPerBlock);
    if (!decode_eeg_block_into(data, gain_code, std::span<float, kEegValuesPerBlock>(values))) return {};
    return values;
}

}  // namespace kx::proto::eeg_cap
