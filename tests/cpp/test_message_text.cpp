// JSON and debug texts of messages: whole texts of both forms side by side (enum
// names included), then one table per text rule (escapes, Base64, float layouts).
#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/text_format.h>

#include <cmath>
#include <limits>

#include "frame_test_support.hpp"
#include "proto/debug_text.hpp"
#include "proto/eeg_cap/msg_builder.hpp"
#include "proto/float_text.hpp"
#include "proto/json_text.hpp"

namespace {

using namespace kx::proto;
namespace pb = google::protobuf;

struct Direction { const char* name; std::uint8_t source, destination; const char* message; };
constexpr Direction kDirections[] = {
    {"App2Ble", 2, 1, "AppDongle"}, {"Ble2App", 1, 2, "BleApp"}, {"App2Mcu", 2, 0, "AppMain"}, {"Mcu2App", 0, 2, "MainApp"}};

// (JSON text or its error text, debug text) of a message given in protobuf text
// format; a direction name instead of a message name makes it a dispatched payload.
std::pair<std::string, std::string> texts(std::string_view type, const std::string& fields) {
    const Direction* dir = nullptr;
    for (const auto& d : kDirections) dir = type == d.name ? &d : dir;
    const auto* desc = msgs::MainApp::descriptor()->file()->FindMessageTypeByName(dir ? dir->message : std::string(type));
    std::unique_ptr<pb::Message> m(pb::MessageFactory::generated_factory()->GetPrototype(desc)->New());
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
        {"Mcu2App", R"(msg_id: 7 eeg { config { freq: 111 gain: 111 source: 15 } data { sample_1 { timestamp: 1000 data: "\000\001\002" } } })",
         R"({"Orvel":{"Mcu2App":{"msgId":7,"eeg":{"config":{"freq":"SR_250Hz","gain":"GAIN_24","source":"NORMAL"},"data":{"sample1":{"timestamp":1000,"data":"AAEC"}}}}}})",
         "Orvel(Mcu2App(MainApp { msg_id: 7, err: Success, eeg: Some(EegAcqResponse { config: Some(EegConfig { freq: Sr250hz, "
         "gain: Gain24, source: Normal }), data: Some(EegData { sample_1: Some(EegSample { timestamp: 1000, data: [0, 1, 2] }), "
         "sample_2: None, sample_3: None, sample_4: None }) }), imu: None }))"},
        {"Ble2App", "msg_id: 3 pairing_status: 2 ota_resp { state: 1 offset: 4096 }",
         R"({"Orvel":{"Ble2App":{"msgId":3,"pairingStatus":"CONNECTING","otaResp":{"state":"DOWNLOADING","offset":4096}}}})",
         "Orvel(Ble2App(BleApp { msg_id: 3, error: ConfigErrSuccess, device_info: None, wifi_config: None, pairing_status: "
         "Connecting, ota_resp: Some(OtaConfigResp { state: Downloading, offset: 4096 }) }))"},
        {"App2Mcu", "msg_id: 9 imu { cmd: 1 config { freq: 2 } }",
         R"({"Orvel":{"App2Mcu":{"msgId":9,"imu":{"cmd":"CFG_SET","config":{"freq":"SR_100Hz"}}}}})",
         "Orvel(App2Mcu(AppMain { msg_id: 9, eeg: None, imu: Some(ImuAcqRequest { cmd: CfgSet, config: Some(ImuConfig { "
         "freq: Sr100hz }) }) }))"},
        {"App2Ble", "", R"({"Orvel":{"App2Ble":{}}})",
         "Orvel(App2Ble(AppDongle { msg_id: 0, msg_type: None, device_info: None, wifi_config: None, ota_cfg: None }))"},
        {"AppMain", "eeg { config { } }", R"({"eeg":{"config":{}}})",
         "AppMain { msg_id: 0, eeg: Some(EegAcqRequest { cmd: None, config: Some(EegConfig { freq: SrNone, gain: GainNone, "
         "source: SignalNone }) }), imu: None }"},
        {"WiFiSetup", "enable_5g { }", R"({"enable5g":{}})", "WiFiSetup { enable_5g: Some(UInt32Value { value: 0 }), band_width: None }"},
        {"OtaData", "", "{}", "OtaData { offset: 0, data: [], finished: false }"},
        {"OtaData", "offset: 4294967295 finished: true", R"({"offset":4294967295,"finished":true})",
         "OtaData { offset: 4294967295, data: [], finished: true }"},
        {"ImuValue", "timestamp: 5 cord_y: -1.5 cord_z: 1e-5", R"({"timestamp":5,"cordY":-1.5,"cordZ":0.00001})",
         "ImuValue { timestamp: 5, cord_x: 0.0, cord_y: -1.5, cord_z: 1e-5 }"},
        {"ImuValue", "cord_x: -0.0 cord_y: nan cord_z: 1", R"({"cordY":null,"cordZ":1.0})",
         "ImuValue { timestamp: 0, cord_x: -0.0, cord_y: NaN, cord_z: 1.0 }"},
        {"DeviceInfoConfig", R"(model: "a\"b\nc" sn: "é" mac_address: "\x11\x22\x33\x44\x55\x66")",
         R"({"model":"a\"b\nc","sn":"é","macAddress":"ESIzRFVm"})",
         R"(DeviceInfoConfig { model: "a\"b\nc", sn: "é", mac_address: [17, 34, 51, 68, 85, 102] })"},
        // Enum names: the value's name without its enum's prefix, and its upper camel case.
        {"MainApp", "err: 2", R"({"err":"_INVALID_PARAMS"})", "MainApp { msg_id: 0, err: InvalidParams, eeg: None, imu: None }"},
        {"BleApp", "error: 1", R"({"error":"CONFIG_ERR_HARDWARE"})",
         "BleApp { msg_id: 0, error: ConfigErrHardware, device_info: None, wifi_config: None, pairing_status: None, ota_resp: None }"},
        {"WiFiWpaConfig", "", "{}", R"(WiFiWpaConfig { security: SecurityNone, ssid: "", password: "" })"},
        // An enum number without a name: the JSON text fails at the first one in
        // writing order; the debug text shows the number.
        {"MainApp", "err: 3", "Invalid variant 3", "MainApp { msg_id: 0, err: 3, eeg: None, imu: None }"},
        {"Ble2App", "pairing_status: -2", "Invalid variant -2",
         "Orvel(Ble2App(BleApp { msg_id: 0, error: ConfigErrSuccess, device_info: None, wifi_config: None, pairing_status: -2, "
         "ota_resp: None }))"},
        {"EegConfig", "freq: -1 gain: 7 source: 3", "Invalid variant -1", "EegConfig { freq: -1, gain: 7, source: 3 }"},
        {"EegConfig", "gain: 47 source: 79", "Invalid variant 79", "EegConfig { freq: SrNone, gain: Gain4, source: 79 }"},
        {"EegConfig", "freq: 47 source: 95", R"({"freq":"SR_4000Hz","source":"TEST_SIGNAL"})",
         "EegConfig { freq: Sr4000hz, gain: GainNone, source: TestSignal }"},
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
        EXPECT_EQ(json, c.json);
        EXPECT_EQ(debug, c.debug);
    }
}

TEST(MessageText, Base64PadsToFourCharacters) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFF\xBF", "+/+/"}};
    for (const auto& [in, expected] : cases) {
        std::string out;
        append_base64(out, in);
        EXPECT_EQ(out, expected) << in;
    }
}

TEST(MessageText, ShortestFloatLayoutsOfJsonAndDebug) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
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
        EXPECT_EQ(json, c.json) << c.debug;
        EXPECT_EQ(debug, c.debug);
    }
}

}  // namespace
