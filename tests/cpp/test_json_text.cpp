#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kx_proto_sdk_eeg_cap.pb.h"
#include "proto/float_text.hpp"
#include "proto/json_text.hpp"

namespace {

using namespace kx::proto;
namespace msgs = kx_proto_sdk::eeg_cap;

template <typename M>
std::string json_of(const M& m) {
    std::string out;
    const auto err = append_json(out, m);
    EXPECT_FALSE(err.has_value()) << (err ? err->text : "");
    return out;
}

// The error text, or the JSON text when there is none.
std::string json_or_error(const google::protobuf::Message& m) {
    std::string out;
    const auto err = append_json(out, m);
    return err ? err->text : out;
}

// ---- Whole texts ------------------------------------------------------------

TEST(JsonText, MainAppExample) {
    msgs::MainApp m;
    m.set_msg_id(7);
    auto* c = m.mutable_eeg()->mutable_config();
    c->set_freq(static_cast<msgs::EegSampleRateValue>(111));
    c->set_gain(static_cast<msgs::EegGainValue>(111));
    c->set_source(static_cast<msgs::EegSignalSourceValue>(15));
    auto* s = m.mutable_eeg()->mutable_data()->mutable_sample_1();
    s->set_timestamp(1000);
    s->set_data(std::string("\x00\x01\x02", 3));
    EXPECT_EQ(json_of(ParsedMessage{OrvelMessage{Mcu2App{m}}}),
              R"({"Orvel":{"Mcu2App":{"msgId":7,"eeg":{"config":{"freq":"SR_250Hz","gain":"GAIN_24","source":"NORMAL"},"data":{"sample1":{"timestamp":1000,"data":"AAEC"}}}}}})");
}

TEST(JsonText, CommandRequests) {
    msgs::AppMain imu;
    imu.set_msg_id(9);
    imu.mutable_imu()->set_cmd(msgs::AcqCmd_CFG_SET);
    imu.mutable_imu()->mutable_config()->set_freq(static_cast<msgs::ImuSampleRateValue>(2));
    EXPECT_EQ(json_of(imu), R"({"msgId":9,"imu":{"cmd":"CFG_SET","config":{"freq":"SR_100Hz"}}})");

    // The longest request the commands build fits the builder's 128-byte buffer.
    msgs::AppMain longest;
    longest.set_msg_id(4294967295u);
    longest.mutable_eeg()->set_cmd(msgs::AcqCmd_CFG_SET);
    auto* c = longest.mutable_eeg()->mutable_config();
    c->set_freq(msgs::EegSampleRateValue_SR_16000Hz);
    c->set_gain(msgs::EegGainValue_GAIN_12);
    c->set_source(msgs::EegSignalSourceValue_TEST_SIGNAL);
    EXPECT_EQ(json_of(longest).size(), 115u);
}

TEST(JsonText, DefaultsAndDirections) {
    EXPECT_EQ(json_of(ParsedMessage{OrvelMessage{Ble2App{}}}), R"({"Orvel":{"Ble2App":{}}})");
    EXPECT_EQ(json_of(ParsedMessage{OrvelMessage{App2Mcu{}}}), R"({"Orvel":{"App2Mcu":{}}})");
    EXPECT_EQ(json_of(ParsedMessage{OrvelMessage{App2Ble{}}}), R"({"Orvel":{"App2Ble":{}}})");
    EXPECT_EQ(json_of(ParsedMessage{OrvelMessage{Mcu2App{}}}), R"({"Orvel":{"Mcu2App":{}}})");
    EXPECT_EQ(json_of(msgs::AppMain{}), "{}");
}

TEST(JsonText, PresentEmptySubMessagesAreWritten) {
    msgs::AppMain m;
    m.mutable_eeg();
    EXPECT_EQ(json_of(m), R"({"eeg":{}})");
    m.mutable_eeg()->mutable_config();
    EXPECT_EQ(json_of(m), R"({"eeg":{"config":{}}})");

    msgs::WiFiSetup w;
    w.mutable_enable_5g();
    EXPECT_EQ(json_of(w), R"({"enable5g":{}})");
    w.mutable_enable_5g()->set_value(1);
    w.mutable_band_width()->set_value(40);
    EXPECT_EQ(json_of(w), R"({"enable5g":{"value":1},"bandWidth":{"value":40}})");
}

TEST(JsonText, KeysAreLowerCamelInFieldOrder) {
    msgs::DeviceInfo d;
    d.set_model("m");
    d.set_sn("s");
    d.set_mac_address("\x11\x22\x33\x44\x55\x66");
    d.set_hw_version("h");
    d.set_ble_fw_version("1");
    d.set_ble_build_time("2");
    d.set_ble_commit_hash("3");
    d.set_wifi_fw_version("4");
    d.set_wifi_build_time("5");
    d.set_wifi_commit_hash("6");
    EXPECT_EQ(json_of(d),
              R"({"model":"m","sn":"s","macAddress":"ESIzRFVm","hwVersion":"h","bleFwVersion":"1","bleBuildTime":"2",)"
              R"("bleCommitHash":"3","wifiFwVersion":"4","wifiBuildTime":"5","wifiCommitHash":"6"})");

    msgs::OtaConfig o;
    o.set_cmd(msgs::OtaCmd_OTA_START);
    o.mutable_ota_data()->set_offset(16);
    o.set_file_size(1);
    o.set_file_md5("a");
    o.set_file_sha256("b");
    EXPECT_EQ(json_of(o),
              R"({"cmd":"OTA_START","otaData":{"offset":16},"fileSize":1,"fileMd5":"a","fileSha256":"b"})");
}

TEST(JsonText, BoolAndUnsigned) {
    msgs::OtaData d;
    d.set_finished(true);
    EXPECT_EQ(json_of(d), R"({"finished":true})");
    msgs::OtaConfigResp r;
    r.set_offset(4294967295u);
    EXPECT_EQ(json_of(r), R"({"offset":4294967295})");
}

// ---- Enum numbers without a name --------------------------------------------

TEST(JsonText, UnnamedEnumNumbersFailTheText) {
    const struct {
        int freq, gain, source;
        const char* expected;
    } cases[] = {
        {0, 7, 0, "Invalid variant 7"},
        {0, 0, 47, "Invalid variant 47"},
        {111, 0, 79, "Invalid variant 79"},
        {47, 0, 95, R"({"freq":"SR_4000Hz","source":"TEST_SIGNAL"})"},
        {0, 79, 0, R"({"gain":"GAIN_8"})"},
        {-1, 7, 3, "Invalid variant -1"},  // the first in writing order
        {127, 15, 15, "Invalid variant 127"},
    };
    for (const auto& c : cases) {
        msgs::EegConfig cfg;
        cfg.set_freq(static_cast<msgs::EegSampleRateValue>(c.freq));
        cfg.set_gain(static_cast<msgs::EegGainValue>(c.gain));
        cfg.set_source(static_cast<msgs::EegSignalSourceValue>(c.source));
        EXPECT_EQ(json_or_error(cfg), c.expected);
    }
    msgs::MainApp m;
    m.set_err(static_cast<msgs::MainResult>(3));
    EXPECT_EQ(json_or_error(m), "Invalid variant 3");

    msgs::BleApp b;
    b.set_pairing_status(static_cast<msgs::PairingStatus>(-2));
    ParsedMessage p{OrvelMessage{Ble2App{b}}};
    std::string out;
    const auto err = append_json(out, p);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->text, "Invalid variant -2");
    EXPECT_EQ(fmt::format("{:?}", *err), R"(Error("Invalid variant -2", line: 0, column: 0))");
}

// ---- Strings, Base64 and floats ---------------------------------------------

TEST(JsonText, StringEscapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\"b\\c\nd\x01", R"("a\"b\\c\nd\u0001")"},
        {"\b\f\r\t", R"("\b\f\r\t")"},
        {std::string("\x00\x1b\x1f", 3), R"("\u0000\u001b\u001f")"},
        {"caf\xC3\xA9/\x7F", "\"caf\xC3\xA9/\x7F\""},
        {"", R"("")"},
    };
    for (const auto& [in, expected] : cases) {
        std::string out;
        append_json_string(out, in);
        EXPECT_EQ(out, expected);
    }
}

TEST(JsonText, Base64) {
    // RFC 4648 test vectors.
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFF\xBF", "+/+/"},
        {std::string("\x00\x01\x02", 3), "AAEC"},
    };
    for (const auto& [in, expected] : cases) {
        std::string out;
        append_base64(out, in);
        EXPECT_EQ(out, expected) << in;
    }
}

TEST(JsonText, ShortestFloatLayoutsOfJsonAndDebug) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const struct {
        float value;
        const char *json, *debug;
    } cases[] = {
        {1.0f, "1.0", "1.0"}, {1500.0f, "1500.0", "1500.0"}, {-3.0f, "-3.0", "-3.0"},
        {9999999000000.0f, "9999999000000.0", "9999999000000.0"}, {12.34f, "12.34", "12.34"},
        {0.1f, "0.1", "0.1"}, {0.001234f, "0.001234", "0.001234"}, {0.000001f, "0.000001", "1e-6"},
        {1e13f, "1e13", "10000000000000.0"}, {1.5e-7f, "1.5e-7", "1.5e-7"}, {-2.5e20f, "-2.5e20", "-2.5e20"},
        {1e-7f, "1e-7", "1e-7"}, {0.0001f, "0.0001", "0.0001"}, {0.00009f, "0.00009", "9e-5"},
        {123456790.0f, "123456790.0", "123456790.0"}, {1e-5f, "0.00001", "1e-5"}, {1.5e16f, "1.5e16", "1.5e16"},
        {1e16f, "1e16", "1e16"}, {9.999999e15f, "9.999999e15", "9999999000000000.0"}, {0.3f, "0.3", "0.3"},
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

TEST(JsonText, FloatFieldsLeaveOutZeroButWriteNaN) {
    msgs::ImuValue v;
    v.set_cord_x(-0.0f);
    v.set_cord_y(std::numeric_limits<float>::quiet_NaN());
    v.set_cord_z(1.0f);
    EXPECT_EQ(json_of(v), R"({"cordY":null,"cordZ":1.0})");
    v.set_cord_y(0.1f);
    v.set_cord_z(1e-7f);
    EXPECT_EQ(json_of(v), R"({"cordY":0.1,"cordZ":1e-7})");
}

}  // namespace
