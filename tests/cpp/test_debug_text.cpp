#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>

#include <limits>

#include "kx_proto_sdk_eeg_cap.pb.h"
#include "proto/debug_text.hpp"
#include "proto/enum_names.hpp"
#include "utils/unicode.hpp"

namespace {

using namespace kx::proto;
namespace msgs = kx_proto_sdk::eeg_cap;

// ---- Messages and composites ------------------------------------------------

TEST(MessageDebugText, ParsedMessageExample) {
    msgs::MainApp m;
    m.set_msg_id(7);
    auto* c = m.mutable_eeg()->mutable_config();
    c->set_freq(msgs::EegSampleRateValue_SR_250Hz);
    c->set_gain(msgs::EegGainValue_GAIN_24);
    c->set_source(msgs::EegSignalSourceValue_NORMAL);
    EXPECT_EQ(fmt::format("{:?}", ParsedMessage{OrvelMessage{Mcu2App{m}}}),
              "Orvel(Mcu2App(MainApp { msg_id: 7, err: Success, eeg: Some(EegAcqResponse { config: "
              "Some(EegConfig { freq: Sr250hz, gain: Gain24, source: Normal }), data: None }), imu: None }))");
}

TEST(MessageDebugText, OrvelMessageExample) {
    msgs::BleApp b;
    b.set_msg_id(3);
    b.set_pairing_status(msgs::PairingStatus_CONNECTING);
    b.mutable_ota_resp()->set_state(msgs::OtaState_DOWNLOADING);
    b.mutable_ota_resp()->set_offset(4096);
    EXPECT_EQ(fmt::format("{:?}", OrvelMessage{Ble2App{b}}),
              "Ble2App(BleApp { msg_id: 3, error: ConfigErrSuccess, device_info: None, wifi_config: None, "
              "pairing_status: Connecting, ota_resp: Some(OtaConfigResp { state: Downloading, offset: 4096 }) })");
}

TEST(MessageDebugText, MessagesShowEveryField) {
    msgs::WiFiSetup w;
    w.mutable_enable_5g();
    msgs::EegData d;
    d.mutable_sample_1()->set_timestamp(1000);
    d.mutable_sample_1()->set_data(std::string("\x00\x01\x02", 3));
    msgs::ImuValue v;
    v.set_timestamp(5);
    v.set_cord_y(-1.5f);
    v.set_cord_z(1e-5f);
    msgs::MainApp m;  // numbers without a name show as numbers
    m.set_err(static_cast<msgs::MainResult>(3));
    msgs::BleApp b;
    b.set_pairing_status(static_cast<msgs::PairingStatus>(-2));
    msgs::DeviceInfoConfig i;
    i.set_model("a\"b\nc");
    i.set_sn("\xC3\xA9");
    const std::pair<std::string, std::string> cases[] = {
        {fmt::format("{:?}", w), "WiFiSetup { enable_5g: Some(UInt32Value { value: 0 }), band_width: None }"},
        {fmt::format("{:?}", msgs::OtaData{}), "OtaData { offset: 0, data: [], finished: false }"},
        {fmt::format("{}", d), "EegData { sample_1: Some(EegSample { timestamp: 1000, data: [0, 1, 2] }), "
                               "sample_2: None, sample_3: None, sample_4: None }"},
        {fmt::format("{:?}", v), "ImuValue { timestamp: 5, cord_x: 0.0, cord_y: -1.5, cord_z: 1e-5 }"},
        {fmt::format("{:?}", m), "MainApp { msg_id: 0, err: 3, eeg: None, imu: None }"},
        {debug_string<google::protobuf::Message>(b),
         "BleApp { msg_id: 0, error: ConfigErrSuccess, device_info: None, wifi_config: None, pairing_status: -2, "
         "ota_resp: None }"},
        {fmt::format("{:?}", i), "DeviceInfoConfig { model: \"a\\\"b\\nc\", sn: \"\xC3\xA9\", mac_address: [] }"},
    };
    for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected);
}

TEST(MessageDebugText, SampleBlockListsAllBytes) {
    msgs::EegSample s;
    std::string data;
    for (int i = 0; i < 108; ++i) data.push_back(static_cast<char>(i * 7));
    s.set_data(data);
    const std::string text = fmt::format("{:?}", s);
    EXPECT_EQ(text.rfind("EegSample { timestamp: 0, data: [0, 7, 14, ", 0), 0u);
    EXPECT_NE(text.find(", 238, 245, 252, 3, 10, "), std::string::npos);  // wraps as unsigned bytes
    EXPECT_EQ(std::count(text.begin(), text.end(), ','), 108);            // 107 between bytes, 1 between fields
}

// ---- Texts and bytes ----------------------------------------------------------

TEST(MessageDebugText, QuotedTextEscapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"cap-1", R"("cap-1")"},
        {"\"\\\n\r\t", R"("\"\\\n\r\t")"},
        {std::string("\0", 1), R"("\0")"},
        {"\x01\x1b\x7f", R"("\u{1}\u{1b}\u{7f}")"},
        {"it's /", R"("it's /")"},
        {"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", "\"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\""},  // é, CJK, emoji
        {"e\xCC\x81", R"("e\u{301}")"},                                  // combining acute accent
        {"\xE2\x80\x8B\xE2\x80\xA8", R"("\u{200b}\u{2028}")"},           // format char, line separator
        {"\xC2\xA0\xC2\xAD", R"("\u{a0}\u{ad}")"},                       // no-break space, soft hyphen
        {"\xCD\xB8\xEE\x80\x80", R"("\u{378}\u{e000}")"},                // unassigned, private use
        {"\xF3\xA0\x80\x81", R"("\u{e0001}")"},                          // language tag (format)
        {"\xFF", "\"\xEF\xBF\xBD\""},                                    // not UTF-8: replacement character
    };
    for (const auto& [in, expected] : cases) {
        std::string out;
        append_debug_quoted(out, in);
        EXPECT_EQ(out, expected);
    }
}

// Sequences of up to three bytes are checked exhaustively below; here the four-byte ones.
TEST(Unicode, Utf8Validation) {
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", true},
        {"\xF0\x80\x80\xAF", false},  // overlong
        {"\xF4\x90\x80\x80", false},  // above U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"\xF0\x9F\x98(", false},      // bad last continuation
    };
    for (const auto& [in, valid] : cases) EXPECT_EQ(kx::utils::is_valid_utf8(in), valid) << in;
}

// ---- Enum names: the catalogue's tables ----------------------------------------

struct EnumNameRow {
    const char* enum_name;
    int number;
    const char* text;  // nullptr: no JSON name
    const char* debug;
};

const EnumNameRow kEnumNames[] = {
    {"DongleMsgType", 0, nullptr, "None"}, {"DongleMsgType", 1, "CONFIG_SET", "ConfigSet"},
    {"DongleMsgType", 2, "CONFIG_GET", "ConfigGet"}, {"DongleMsgType", 3, "WIFI_SET", "WifiSet"},
    {"DongleMsgType", 4, "WIFI_GET", "WifiGet"}, {"DongleMsgType", 5, "WIFI_STAT", "WifiStat"},
    {"ConfigErr", 0, nullptr, "ConfigErrSuccess"}, {"ConfigErr", 1, "CONFIG_ERR_HARDWARE", "ConfigErrHardware"},
    {"ConfigErr", 2, "CONFIG_ERR_PARAMETER", "ConfigErrParameter"},
    {"ConfigErr", 3, "CONFIG_ERR_UNKNOWN", "ConfigErrUnknown"},
    {"PairingStatus", 0, nullptr, "None"}, {"PairingStatus", 1, "IDLE", "Idle"},
    {"PairingStatus", 2, "CONNECTING", "Connecting"}, {"PairingStatus", 3, "CONN_SUCCESS", "ConnSuccess"},
    {"PairingStatus", 4, "CONN_FAIL", "ConnFail"},
    {"MainResult", 0, nullptr, "Success"}, {"MainResult", 1, "_ERROR", "Error"},
    {"MainResult", 2, "_INVALID_PARAMS", "InvalidParams"},
    {"AcqCmd", 0, nullptr, "None"}, {"AcqCmd", 1, "CFG_SET", "CfgSet"}, {"AcqCmd", 2, "CFG_GET", "CfgGet"},
    {"AcqCmd", 3, "ENABLE", "Enable"}, {"AcqCmd", 4, "DISABLE", "Disable"},
    {"OtaCmd", 0, nullptr, "None"}, {"OtaCmd", 1, "OTA_START", "OtaStart"}, {"OtaCmd", 2, "OTA_REBOOT", "OtaReboot"},
    {"OtaState", 0, nullptr, "None"}, {"OtaState", 1, "DOWNLOADING", "Downloading"},
    {"OtaState", 2, "DOWNLOAD_FINISHED", "DownloadFinished"}, {"OtaState", 3, "REBOOTING", "Rebooting"},
    {"OtaState", 4, "REBOOTED", "Rebooted"}, {"OtaState", 5, "ABORT", "Abort"},
    {"WiFiSecurityValue", 0, nullptr, "SecurityNone"}, {"WiFiSecurityValue", 1, "SECURITY_OPEN", "SecurityOpen"},
    {"WiFiSecurityValue", 2, "SECURITY_WPA2_AES_PSK", "SecurityWpa2AesPsk"},
    {"WiFiSecurityValue", 3, "SECURITY_WPA2_TKIP_PSK", "SecurityWpa2TkipPsk"},
    {"WiFiSecurityValue", 4, "SECURITY_WPA2_MIXED_PSK", "SecurityWpa2MixedPsk"},
    {"WiFiSecurityValue", 5, "SECURITY_WPA_WPA2_TKIP_PSK", "SecurityWpaWpa2TkipPsk"},
    {"WiFiSecurityValue", 6, "SECURITY_WPA_WPA2_AES_PSK", "SecurityWpaWpa2AesPsk"},
    {"WiFiSecurityValue", 7, "SECURITY_WPA_WPA2_MIXED_PSK", "SecurityWpaWpa2MixedPsk"},
    {"WiFiSecurityValue", 8, "SECURITY_WPA3_AES_PSK", "SecurityWpa3AesPsk"},
    {"WiFiSecurityValue", 9, "SECURITY_WPA2_WPA3_MIXED", "SecurityWpa2Wpa3Mixed"},
    {"EegSampleRateValue", 0, nullptr, "SrNone"}, {"EegSampleRateValue", 15, "SR_16000Hz", "Sr16000hz"},
    {"EegSampleRateValue", 31, "SR_8000Hz", "Sr8000hz"}, {"EegSampleRateValue", 47, "SR_4000Hz", "Sr4000hz"},
    {"EegSampleRateValue", 63, "SR_2000Hz", "Sr2000hz"}, {"EegSampleRateValue", 79, "SR_1000Hz", "Sr1000hz"},
    {"EegSampleRateValue", 95, "SR_500Hz", "Sr500hz"}, {"EegSampleRateValue", 111, "SR_250Hz", "Sr250hz"},
    {"EegGainValue", 0, nullptr, "GainNone"}, {"EegGainValue", 15, "GAIN_1", "Gain1"},
    {"EegGainValue", 31, "GAIN_2", "Gain2"}, {"EegGainValue", 47, "GAIN_4", "Gain4"},
    {"EegGainValue", 63, "GAIN_6", "Gain6"}, {"EegGainValue", 79, "GAIN_8", "Gain8"},
    {"EegGainValue", 95, "GAIN_12", "Gain12"}, {"EegGainValue", 111, "GAIN_24", "Gain24"},
    {"EegSignalSourceValue", 0, nullptr, "SignalNone"}, {"EegSignalSourceValue", 15, "NORMAL", "Normal"},
    {"EegSignalSourceValue", 31, "SHORTED", "Shorted"}, {"EegSignalSourceValue", 63, "MVDD", "Mvdd"},
    {"EegSignalSourceValue", 95, "TEST_SIGNAL", "TestSignal"},
    {"ImuSampleRateValue", 0, nullptr, "SrNone"}, {"ImuSampleRateValue", 1, "SR_50Hz", "Sr50hz"},
    {"ImuSampleRateValue", 2, "SR_100Hz", "Sr100hz"},
};

TEST(EnumNames, EveryValueOfTheCatalogueHasItsTextAndDebugName) {
    const auto* file = msgs::MainApp::descriptor()->file();
    ASSERT_EQ(file->enum_type_count(), 12);
    std::size_t values = 0;
    for (int i = 0; i < file->enum_type_count(); ++i) values += file->enum_type(i)->value_count();
    EXPECT_EQ(values, std::size(kEnumNames));  // the table covers every declared value

    for (const auto& row : kEnumNames) {
        const auto* e = file->FindEnumTypeByName(row.enum_name);
        ASSERT_NE(e, nullptr) << row.enum_name;
        ASSERT_NE(e->FindValueByNumber(row.number), nullptr) << row.enum_name << " " << row.number;
        const auto text = enum_text_name(*e, row.number);
        EXPECT_EQ(text.has_value(), row.text != nullptr) << row.enum_name << " " << row.number;
        if (row.text && text) {
            EXPECT_EQ(*text, row.text);
        }
        std::string debug;
        append_enum_debug_name(debug, *e, row.number);
        EXPECT_EQ(debug, row.debug);
    }
}

TEST(EnumNames, UnnamedNumbersShowAsNumbers) {
    const auto* source = msgs::EegSignalSourceValue_descriptor();
    for (int n : {47, 79, -1, 1, std::numeric_limits<int>::min()}) {
        EXPECT_FALSE(enum_text_name(*source, n).has_value()) << n;
        std::string debug;
        append_enum_debug_name(debug, *source, n);
        EXPECT_EQ(debug, std::to_string(n));
    }
}


// Canonical UTF-8 of a scalar value.
std::string encode_utf8(char32_t cp) {
    if (cp < 0x80) return std::string(1, static_cast<char>(cp));
    const int tail = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
    std::string s(1, static_cast<char>(((0xFF00 >> (tail + 1)) & 0xFF) | (cp >> (6 * tail))));
    for (int i = tail - 1; i >= 0; --i) s += static_cast<char>(0x80 | ((cp >> (6 * i)) & 0x3F));
    return s;
}

// Every scalar value round-trips; every sequence of up to three bytes is
// valid exactly when it is the canonical encoding of scalar values.
TEST(Unicode, Utf8ValidationIsExactOverShortSequences) {
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        const std::string s = encode_utf8(cp);
        const bool scalar = cp < 0xD800 || cp > 0xDFFF;
        ASSERT_EQ(kx::utils::is_valid_utf8(s), scalar) << std::hex << static_cast<std::uint32_t>(cp);
        if (scalar) {
            std::size_t pos = 0;
            ASSERT_EQ(kx::utils::next_code_point(s, pos), std::optional<char32_t>(cp));
            ASSERT_EQ(pos, s.size());
        }
    }
    // Reference: a sequence is valid iff it splits into canonical encodings.
    auto reference = [](const std::string& s) {
        std::size_t pos = 0;
        while (pos < s.size()) {
            bool matched = false;
            for (std::size_t len = 1; len <= 4 && pos + len <= s.size() && !matched; ++len) {
                const auto* p = reinterpret_cast<const unsigned char*>(s.data() + pos);
                char32_t cp = len == 1 ? p[0] : p[0] & (0x7F >> len);
                for (std::size_t i = 1; i < len; ++i) cp = (cp << 6) | (p[i] & 0x3F);
                if (cp <= 0x10FFFF && encode_utf8(cp) == s.substr(pos, len) && (cp < 0xD800 || cp > 0xDFFF)) {
                    pos += len;
                    matched = true;
                }
            }
            if (!matched) return false;
        }
        return true;
    };
    // All first and second bytes; third bytes from every class boundary.
    const std::uint8_t thirds[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xF4, 0xFF};
    std::string s(3, '\0');
    for (std::uint32_t v = 0; v < (1u << 16); ++v) {
        s[0] = static_cast<char>(v >> 8);
        s[1] = static_cast<char>(v);
        ASSERT_EQ(kx::utils::is_valid_utf8(s.substr(0, 2)), reference(s.substr(0, 2))) << std::hex << v;
        for (std::uint8_t t : thirds) {
            s[2] = static_cast<char>(t);
            ASSERT_EQ(kx::utils::is_valid_utf8(s), reference(s)) << std::hex << v << " " << int(t);
        }
    }
}

}  // namespace
