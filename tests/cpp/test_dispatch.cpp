#include <gtest/gtest.h>

#include <tuple>
#include <variant>

#include "frame_test_support.hpp"
#include "log_capture.hpp"
#include "proto/debug_text.hpp"
#include "proto/eeg_cap/msg_builder.hpp"

namespace {

using kx::log::Level;
using kx::proto::ParsedMessage;
using kx::proto::ProtoError;
using kx::proto::eeg_cap::parse_message;
using kx::test::Bytes;

std::string error_text(const std::variant<ParsedMessage, ProtoError>& r) {
    const auto* e = std::get_if<ProtoError>(&r);
    if (e == nullptr) return "<message>";
    std::string s;
    kx::proto::append_debug(s, *e);
    return s;
}

TEST(Dispatch, EmptyPayloadOfEachDirectionGivesDefaults) {
    const std::tuple<std::uint8_t, std::uint8_t, std::string> cases[] = {
        {2, 1, "Orvel(App2Ble(AppDongle { msg_id: 0, msg_type: None, device_info: None, wifi_config: None, "
               "ota_cfg: None }))"},
        {2, 0, "Orvel(App2Mcu(AppMain { msg_id: 0, eeg: None, imu: None }))"},
        {1, 2, "Orvel(Ble2App(BleApp { msg_id: 0, error: ConfigErrSuccess, device_info: None, wifi_config: None, "
               "pairing_status: None, ota_resp: None }))"},
        {0, 2, "Orvel(Mcu2App(MainApp { msg_id: 0, err: Success, eeg: None, imu: None }))"},
    };
    for (const auto& [source, destination, debug] : cases) {
        const auto r = parse_message(source, destination, {});
        ASSERT_TRUE(std::holds_alternative<ParsedMessage>(r)) << error_text(r);
        EXPECT_EQ(kx::proto::debug_string(std::get<ParsedMessage>(r)), debug);
    }
}

// Only the module ids are looked at: the payload would not decode.
TEST(Dispatch, InvalidModulePairsAreReportedWithoutDecoding) {
    kx::test::LogCapture log;
    kx::test::LogCaptureScope scope(log);
    const std::tuple<std::uint8_t, std::uint8_t, std::string> cases[] = {
        {2, 2, "InvalidDestinationModule(Orvel, 2)"}, {2, 7, "InvalidDestinationModule(Orvel, 7)"},
        {0, 0, "InvalidModule(Orvel, 0, 0)"},         {1, 1, "InvalidModule(Orvel, 1, 1)"},
        {0, 1, "InvalidModule(Orvel, 0, 1)"},         {3, 4, "InvalidModule(Orvel, 3, 4)"},
        {3, 2, "InvalidSourceModule(Orvel, 3)"},      {255, 2, "InvalidSourceModule(Orvel, 255)"},
    };
    for (const auto& [source, destination, error] : cases)
        EXPECT_EQ(error_text(parse_message(source, destination, Bytes{0x00})), error);
    EXPECT_TRUE(log.messages(Level::Debug).empty());
}

TEST(Dispatch, TraceRecordCarriesFixedPosition) {
    kx::test::LogCapture log;
    kx::test::LogCaptureScope scope(log);
    (void)parse_message(2, 0, Bytes{8, 1});
    const auto records = log.records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0].level, Level::Trace);
    EXPECT_EQ(records[0].message, "parse_message: 2, 0, [8, 1]");
    EXPECT_EQ(records[0].target, "kx_proto_sdk::proto::eeg_cap::msg_builder");
    EXPECT_EQ(records[0].file, "src/proto/eeg_cap/msg_builder");
    EXPECT_EQ(records[0].line, 104u);
}

// A command request and an EEG message decode back to equal messages.
TEST(Dispatch, PayloadsDecodeBackToEqualMessages) {
    namespace m = kx::proto::msgs;
    m::AppMain request;
    request.set_msg_id(42);
    request.mutable_eeg()->set_cmd(m::AcqCmd_CFG_SET);
    request.mutable_eeg()->mutable_config()->set_gain(m::EegGainValue_GAIN_12);
    request.mutable_imu()->set_cmd(m::AcqCmd_ENABLE);
    auto r = parse_message(2, 0, kx::test::serialized(request));
    ASSERT_TRUE(std::holds_alternative<ParsedMessage>(r)) << error_text(r);
    EXPECT_EQ(std::get<ParsedMessage>(r), (ParsedMessage{kx::proto::OrvelMessage{kx::proto::App2Mcu{request}}}));

    const auto app = kx::test::eeg_main_app(9);
    r = parse_message(0, 2, kx::test::serialized(app));
    ASSERT_TRUE(std::holds_alternative<ParsedMessage>(r)) << error_text(r);
    EXPECT_EQ(std::get<ParsedMessage>(r), (ParsedMessage{kx::proto::OrvelMessage{kx::proto::Mcu2App{app}}}));
}

}  // namespace
