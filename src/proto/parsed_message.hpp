// The decoded form of one frame: a tagged union by device family (only the
// EEG cap's family, "Orvel", has one) holding a tagged union by direction.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "kx_proto_sdk_eeg_cap.pb.h"

namespace kx::proto {

namespace msgs = ::kx_proto_sdk::eeg_cap;

// Directions of the EEG cap's family; each owns one decoded top-level message.
struct App2Ble { msgs::AppDongle message; };  // App -> BLE dongle
struct Ble2App { msgs::BleApp message; };     // BLE dongle -> App
struct App2Mcu { msgs::AppMain message; };    // App -> MCU
struct Mcu2App { msgs::MainApp message; };    // MCU -> App

struct OrvelMessage {
    std::variant<App2Ble, Ble2App, App2Mcu, Mcu2App> value;

    // "App2Ble", "Ble2App", "App2Mcu" or "Mcu2App".
    std::string_view direction_name() const;
    const google::protobuf::Message& message() const;
};

// One variant, `Orvel`: frames of other families are not decoded.
struct ParsedMessage {
    OrvelMessage orvel;

    static constexpr std::string_view kFamilyName = "Orvel";
};

// Field-by-field equality of the held messages (same direction required).
bool operator==(const OrvelMessage& a, const OrvelMessage& b);
bool operator==(const ParsedMessage& a, const ParsedMessage& b);

// Full type path of a catalogue message as log texts show it, e.g.
// "kx_proto_sdk::generated::eeg_cap_proto::MainApp".
std::string message_type_path(const google::protobuf::Message& message);

}  // namespace kx::proto
