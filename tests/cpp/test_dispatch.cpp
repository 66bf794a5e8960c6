#include <gtest/gtest.h>

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

struct DirectionCase {
    std::uint8_t source, destination;
    std::string debug;
};

class Direction : public testing::TestWithParam<DirectionCase> {};

TEST_P(Direction, EmptyPayloadGivesDefaults) {
    const auto& c = GetParam();
    const auto r = parse_message(c.source, c.destination, {});
    ASSERT_TRUE(std::holds_alternative<ParsedMessage>(r)) << error_text(r);
    EXPECT_EQ(kx::proto::debug_string(std::get<ParsedMessage>(r)), c.debug);
}

INSTANTIATE_TEST_SUITE_P(
    ValidPairs, Direction,
    testing::Values(
        DirectionCase{2, 1, "Orvel(App2Ble(AppDongle { msg_id: 0, msg_type: None, device_info: None, wifi_config: None, "
                            "ota_cfg: None }))"},
        DirectionCase{2, 0, "Orvel(App2Mcu(AppMain { msg_id: 0, eeg: None, imu: None }))"},
        DirectionCase{1, 2, "Orvel(Ble2App(BleApp { msg_id: 0, error: ConfigErrSuccess, device_info: None, "
                            "wifi_config: None, pairing_status: None, ota_resp: None }))"},
        DirectionCase{0, 2, "Orvel(Mcu2App(MainApp { msg_id: 0, err: Success, eeg: None, imu: None }))"}));

struct ModuleErrorCase {
    std::uint8_t source, destination;
    std::string error;
};

class ModuleError : public testing::TestWithParam<ModuleErrorCase> {};

TEST_P(ModuleError, ReportedWithoutLookingAtPayload) {
    kx::test::LogCapture log;
    kx::test::LogCaptureScope scope(log);
    const auto& c = GetParam();
    // The payload would not decode: only the module ids are looked at.
    const auto r = parse_message(c.source, c.destination, Bytes{0x00});
    EXPECT_EQ(error_text(r), c.error);
    EXPECT_TRUE(log.messages(Level::Debug).empty());
}

INSTANTIATE_TEST_SUITE_P(InvalidPairs, ModuleError,
                         testing::Values(ModuleErrorCase{2, 2, "InvalidDestinationModule(Orvel, 2)"},
                                         ModuleErrorCase{2, 7, "InvalidDestinationModule(Orvel, 7)"},
                                         ModuleErrorCase{0, 0, "InvalidModule(Orvel, 0, 0)"},
                                         ModuleErrorCase{1, 1, "InvalidModule(Orvel, 1, 1)"},
                                         ModuleErrorCase{0, 1, "InvalidModule(Orvel, 0, 1)"},
                                         ModuleErrorCase{3, 4, "InvalidModule(Orvel, 3, 4)"},
                                         ModuleErrorCase{3, 2, "InvalidSourceModule(Orvel, 3)"},
                                         ModuleErrorCase{255, 2, "InvalidSourceModule(Orvel, 255)"}));

TEST(Dispatch, UndecodablePayloadLogsTypePathAndReturnsDecodingError) {
    kx::test::LogCapture log;
    kx::test::LogCaptureScope scope(log);
    const auto r = parse_message(0, 2, Bytes{0x0A});
    EXPECT_EQ(error_text(r),
              "DecodingError(DecodeError { description: \"invalid wire type: LengthDelimited (expected Varint)\", "
              "stack: [(\"MainApp\", \"msg_id\")] })");
    std::vector<kx::test::CapturedRecord> errors;
    for (const auto& rec : log.records())
        if (rec.level == Level::Error) errors.push_back(rec);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message, "Decoding error for type kx_proto_sdk::generated::eeg_cap_proto::MainApp: [10]");
    EXPECT_EQ(errors[0].target, "kx_proto_sdk::proto::enums");
    EXPECT_EQ(errors[0].file, "src/proto/enums");
    EXPECT_EQ(errors[0].line, 115u);
}

TEST(Dispatch, TypePathOfEachDirection) {
    kx::test::LogCapture log;
    kx::test::LogCaptureScope scope(log);
    const std::pair<std::uint8_t, std::uint8_t> pairs[] = {{2, 1}, {1, 2}, {2, 0}, {0, 2}};
    for (auto [s, d] : pairs) EXPECT_TRUE(std::holds_alternative<ProtoError>(parse_message(s, d, Bytes{0x00})));
    const std::vector<std::string> expected{
        "Decoding error for type kx_proto_sdk::generated::eeg_cap_proto::AppDongle: [0]",
        "Decoding error for type kx_proto_sdk::generated::eeg_cap_proto::BleApp: [0]",
        "Decoding error for type kx_proto_sdk::generated::eeg_cap_proto::AppMain: [0]",
        "Decoding error for type kx_proto_sdk::generated::eeg_cap_proto::MainApp: [0]"};
    EXPECT_EQ(log.messages(Level::Error), expected);
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

TEST(Dispatch, CommandPayloadDecodesBackToEqualAppMain) {
    namespace m = kx::proto::msgs;
    m::AppMain request;
    request.set_msg_id(42);
    request.mutable_eeg()->set_cmd(m::AcqCmd_CFG_SET);
    request.mutable_eeg()->mutable_config()->set_gain(m::EegGainValue_GAIN_12);
    request.mutable_imu()->set_cmd(m::AcqCmd_ENABLE);
    const auto r = parse_message(2, 0, kx::test::serialized(request));
    ASSERT_TRUE(std::holds_alternative<ParsedMessage>(r)) << error_text(r);
    EXPECT_EQ(std::get<ParsedMessage>(r), (ParsedMessage{kx::proto::OrvelMessage{kx::proto::App2Mcu{request}}}));
}

TEST(Dispatch, EegFrameDecodesToMainAppWithSamples) {
    const auto app = kx::test::eeg_main_app(9);
    const auto r = parse_message(0, 2, kx::test::serialized(app));
    ASSERT_TRUE(std::holds_alternative<ParsedMessage>(r)) << error_text(r);
    const auto& decoded = std::get<kx::proto::Mcu2App>(std::get<ParsedMessage>(r).orvel.value).message;
    EXPECT_EQ(decoded.msg_id(), 9u);
    EXPECT_EQ(decoded.eeg().data().sample_4().data(), app.eeg().data().sample_4().data());
    EXPECT_EQ(decoded.eeg().config().gain(), kx::proto::msgs::EegGainValue_GAIN_24);
}

}  // namespace
