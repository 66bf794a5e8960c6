// JSON and debug texts of messages: whole texts of both forms side by side (enum
// names and Base64 included), then one table per text rule (escapes, float layouts).
#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/text_format.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>

#include "frame_test_support.hpp"
#include "proto/debug_text.hpp"
#include "proto/eeg_cap/msg_builder.hpp"
#include "proto/json_text.hpp"
#include "utils/float_text.hpp"

namespace {

using namespace kx::proto;
using kx::utils::append_debug_float;
using kx::utils::append_json_float;
using kx::utils::append_plain_float;
using kx::utils::WholeValues;
namespace pb = google::protobuf;

// (JSON text or its error text, debug text) of a message given in protobuf text
// format; a direction name instead of a message name makes it a dispatched payload.
std::pair<std::string, std::string> texts(std::string_view type, const std::string& fields) {
    const kx::test::Direction* dir = nullptr;
    for (const auto& d : kx::test::kDirections) dir = type == d.name ? &d : dir;
    const auto m = kx::test::new_message(dir ? dir->message : type);
    EXPECT_TRUE(pb::TextFormat::ParseFromString(fields, m.get())) << fields;
    std::string json, debug;
    std::optional<JsonError> error;
    if (dir) {
        const auto r = eeg_cap::parse_message(dir->source, dir->destination, kx::test::serialized(*m));
        error = append_json(json, std::get<ParsedMessage>(r));
        append_debug(debug, std::get<ParsedMessage>(r));
    } else {
        error = append_json(json, *m);
        append_debug(debug, *m);
    }
    return {error ? error->text : json, debug};
}

TEST(MessageText, JsonAndDebugTextsOfWholeMessages) {
    const struct { const char *type, *fields, *json, *debug; } cases[] = {
        {"Mcu2App", R"(msg_id: 7 eeg { config { freq: 47 gain: 111 source: 95 } data { sample_1 { timestamp: 1000 data: "\000\001\002\003\004" } } })",
         R"({"Orvel":{"Mcu2App":{"msgId":7,"eeg":{"config":{"freq":"SR_4000Hz","gain":"GAIN_24","source":"TEST_SIGNAL"},"data":{"sample1":{"timestamp":1000,"data":"AAECAwQ="}}}}}})",
         "Orvel(Mcu2App(MainApp { msg_id: 7, err: Success, eeg: Some(EegAcqResponse { config: Some(EegConfig { freq: Sr4000hz, "
         "gain: Gain24, source: TestSignal }), data: Some(EegData { sample_1: Some(EegSample { timestamp: 1000, data: [0, 1, 2, 3, 4] }), "
         "sample_2: None, sample_3: None, sample_4: None }) }), imu: None }))"},
        {"Ble2App", "msg_id: 3 pairing_status: 2 ota_resp { state: 1 offset: 4096 }",
         R"({"Orvel":{"Ble2App":{"msgId":3,"pairingStatus":"CONNECTING","otaResp":{"state":"DOWNLOADING","offset":4096}}}})",
         "Orvel(Ble2App(BleApp { msg_id: 3, error: ConfigErrSuccess, device_info: None, wifi_config: None, pairing_status: "
         "Connecting, ota_resp: Some(OtaConfigResp { state: Downloading, offset: 4096 }) }))"},
        {"App2Mcu", "msg_id: 9 eeg { config { } } imu { cmd: 1 config { freq: 2 } }",
         R"({"Orvel":{"App2Mcu":{"msgId":9,"eeg":{"config":{}},"imu":{"cmd":"CFG_SET","config":{"freq":"SR_100Hz"}}}}})",
         "Orvel(App2Mcu(AppMain { msg_id: 9, eeg: Some(EegAcqRequest { cmd: None, config: Some(EegConfig { freq: SrNone, "
         "gain: GainNone, source: SignalNone }) }), imu: Some(ImuAcqRequest { cmd: CfgSet, config: Some(ImuConfig { "
         "freq: Sr100hz }) }) }))"},
        {"App2Ble", "", R"({"Orvel":{"App2Ble":{}}})",
         "Orvel(App2Ble(AppDongle { msg_id: 0, msg_type: None, device_info: None, wifi_config: None, ota_cfg: None }))"},
        {"WiFiSetup", "enable_5g { }", R"({"enable5g":{}})", "WiFiSetup { enable_5g: Some(UInt32Value { value: 0 }), band_width: None }"},
        {"OtaData", "offset: 4294967295 finished: true", R"({"offset":4294967295,"finished":true})",
         "OtaData { offset: 4294967295, data: [], finished: true }"},
        {"ImuValue", "timestamp: 5 cord_x: -0.0 cord_y: nan cord_z: 1e-5", R"({"timestamp":5,"cordY":null,"cordZ":0.00001})",
         "ImuValue { timestamp: 5, cord_x: -0.0, cord_y: NaN, cord_z: 1e-5 }"},
        {"DeviceInfoConfig", R"(model: "a\"b\nc" sn: "é" mac_address: "\xFB\xFF\xBF\x01")",
         R"({"model":"a\"b\nc","sn":"é","macAddress":"+/+/AQ=="})",
         R"(DeviceInfoConfig { model: "a\"b\nc", sn: "é", mac_address: [251, 255, 191, 1] })"},
        // Enum names: the value's name without its enum's prefix, and its upper camel case.
        {"MainApp", "err: 2", R"({"err":"_INVALID_PARAMS"})", "MainApp { msg_id: 0, err: InvalidParams, eeg: None, imu: None }"},
        {"BleApp", "error: 1", R"({"error":"CONFIG_ERR_HARDWARE"})",
         "BleApp { msg_id: 0, error: ConfigErrHardware, device_info: None, wifi_config: None, pairing_status: None, ota_resp: None }"},
        {"WiFiWpaConfig", "", "{}", R"(WiFiWpaConfig { security: SecurityNone, ssid: "", password: "" })"},
        // An enum number without a name: the JSON text fails at the first one in
        // writing order; the debug text shows the number.
        {"Ble2App", "pairing_status: -2", "Invalid variant -2",
         "Orvel(Ble2App(BleApp { msg_id: 0, error: ConfigErrSuccess, device_info: None, wifi_config: None, pairing_status: -2, "
         "ota_resp: None }))"},
        {"EegConfig", "freq: -1 gain: 7 source: 3", "Invalid variant -1", "EegConfig { freq: -1, gain: 7, source: 3 }"},
        {"EegConfig", "gain: 47 source: 79", "Invalid variant 79", "EegConfig { freq: SrNone, gain: Gain4, source: 79 }"},
    };
    for (const auto& c : cases) {
        const auto [json, debug] = texts(c.type, c.fields);
        EXPECT_EQ(json, c.json) << c.fields;
        EXPECT_EQ(debug, c.debug) << c.fields;
    }
}

TEST(MessageText, StringEscapesOfJsonAndDebug) {
    const struct { std::string in; const char *json, *debug; } cases[] = {
        {"\"\\\n\r\t", R"("\"\\\n\r\t")", R"("\"\\\n\r\t")"},
        {std::string("\0\b\f\x01\x1b\x1f\x7f", 7), R"("\u0000\b\f\u0001\u001b\u001f)" "\x7f\"",
         R"("\0\u{8}\u{c}\u{1}\u{1b}\u{1f}\u{7f}")"},
        {"it's /\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", "\"it's /\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\"",
         "\"it's /\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\""},
        // Not printable: combining mark, format character, line separator, no-break space,
        // soft hyphen, unassigned, private use, language tag.
        {"e\xCC\x81\xE2\x80\x8B\xE2\x80\xA8\xC2\xA0\xC2\xAD", "\"e\xCC\x81\xE2\x80\x8B\xE2\x80\xA8\xC2\xA0\xC2\xAD\"",
         R"("e\u{301}\u{200b}\u{2028}\u{a0}\u{ad}")"},
        {"\xCD\xB8\xEE\x80\x80\xF3\xA0\x80\x81", "\"\xCD\xB8\xEE\x80\x80\xF3\xA0\x80\x81\"", R"("\u{378}\u{e000}\u{e0001}")"},
        {"", R"("")", R"("")"},
        {"\xFF", "\"\xFF\"", "\"\xEF\xBF\xBD\""},  // not UTF-8: copied, or a replacement character
    };
    for (const auto& c : cases) {
        std::string json, debug;
        append_json_string(json, c.in);
        append_debug_quoted(debug, c.in);
        EXPECT_EQ(std::tie(json, debug), std::tuple(c.json, c.debug));
    }
}

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(MessageText, ShortestFloatLayoutsOfJsonAndDebug) {
    const struct { float value; const char *json, *debug; } cases[] = {
        {1.0f, "1.0", "1.0"}, {1500.0f, "1500.0", "1500.0"}, {-3.0f, "-3.0", "-3.0"}, {12.34f, "12.34", "12.34"},
        {9999999000000.0f, "9999999000000.0", "9999999000000.0"}, {1e13f, "1e13", "10000000000000.0"},
        {0.1f, "0.1", "0.1"}, {0.000001f, "0.000001", "1e-6"}, {1e-7f, "1e-7", "1e-7"}, {1.5e-7f, "1.5e-7", "1.5e-7"},
        {-2.5e20f, "-2.5e20", "-2.5e20"}, {0.0001f, "0.0001", "0.0001"}, {0.00009f, "0.00009", "9e-5"},
        {9.999999e15f, "9.999999e15", "9999999000000000.0"}, {1e16f, "1e16", "1e16"}, {0.3f, "0.3", "0.3"},
        {16777217.0f, "16777216.0", "16777216.0"}, {3.4028235e38f, "3.4028235e38", "3.4028235e38"},
        {1e-45f, "1e-45", "1e-45"}, {0.0f, "0.0", "0.0"}, {-0.0f, "-0.0", "-0.0"}, {kInf, "null", "inf"},
        {-kInf, "null", "-inf"}, {std::numeric_limits<float>::quiet_NaN(), "null", "NaN"},
    };
    for (const auto& c : cases) {
        std::string json, debug;
        append_json_float(json, c.value);
        append_debug_float(debug, c.value);
        EXPECT_EQ(std::tie(json, debug), std::tuple(c.json, c.debug));
    }
}

// The layout of floats inside error texts: never an exponent; whole values bare,
// or with ".0" when asked.
TEST(MessageText, PlainFloatLayoutAtEveryMagnitude) {
    const std::pair<float, std::string> cases[] = {
        {250.0f, "250"}, {12.5f, "12.5"}, {-6.25f, "-6.25"}, {0.0f, "0"}, {-0.0f, "-0"}, {0.3f, "0.3"},
        {1e20f, "100000000000000000000"}, {16777217.0f, "16777216"}, {1.5e-7f, "0.00000015"},
        {1e-45f, "0." + std::string(44, '0') + "1"}, {kInf, "inf"}, {-kInf, "-inf"},
        {std::numeric_limits<float>::quiet_NaN(), "NaN"},
    };
    for (const auto& [value, bare] : cases) {
        std::string text;
        append_plain_float(text, value, WholeValues::Bare);
        EXPECT_EQ(text, bare);
        text.clear();
        append_plain_float(text, value, WholeValues::PointZero);
        const bool whole = bare.find_first_not_of("-0123456789") == std::string::npos;
        EXPECT_EQ(text, whole ? bare + ".0" : bare);
    }
}

}  // namespace
