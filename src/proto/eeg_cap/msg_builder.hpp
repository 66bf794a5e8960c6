// The EEG cap's family: message dispatch by direction, command frames to the
// main controller and decoding of EEG sample blocks.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "proto/msg_builder.hpp"
#include "proto/parsed_message.hpp"
#include "proto/proto_error.hpp"

namespace kx::proto::eeg_cap {

// Decodes a checked Orvel payload as the top-level message that the module pair names:
// (2,1) AppDongle, (2,0) AppMain, (1,2) BleApp, (0,2) MainApp.
std::variant<ParsedMessage, ProtoError> parse_message(std::uint8_t source, std::uint8_t destination,
                                                      std::span<const std::uint8_t> payload);

// The process-wide Orvel builder, created on first use.
const MsgBuilder& eeg_cap_msg_builder();

// Frames `request` from the App to the MCU; returns (request.msg_id, frame). Throws
// std::logic_error (an internal fault) when Info is enabled and the request's JSON
// text cannot be written (an enum field holding an unnamed number).
std::pair<std::uint32_t, std::vector<std::uint8_t>> encode_app_to_mcu(const msgs::AppMain& request);

inline constexpr std::size_t kEegBlockLength = 108;
inline constexpr std::size_t kEegValuesPerBlock = 32;

// Gain factor of an EegGainValue code; codes outside the table give 6.
float eeg_gain_factor(std::uint32_t gain_code);

// 32 channel values in microvolts (four frames of eight channels, frame-major), or
// an empty list (logged) when `data` is not 108 bytes long.
std::vector<float> decode_eeg_block(std::span<const std::uint8_t> data, std::uint32_t gain_code);

// Same, into `out`, for callers that decode many blocks without a list each;
// false (logged) when `data` is not 108 bytes long.
bool decode_eeg_block_into(std::span<const std::uint8_t> data, std::uint32_t gain_code,
                           std::span<float, kEegValuesPerBlock> out);

}  // namespace kx::proto::eeg_cap
