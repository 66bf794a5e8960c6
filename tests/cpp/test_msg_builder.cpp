#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

#include "frame_test_support.hpp"
#include "log_capture.hpp"
#include "proto/eeg_cap/msg_builder.hpp"

namespace {

namespace m = kx::proto::msgs;
using kx::log::Level;
using kx::proto::eeg_cap::encode_app_to_mcu;
using kx::test::Bytes;

m::AppMain request_with_id(std::uint32_t id) {
    m::AppMain r;
    r.set_msg_id(id);
    return r;
}

TEST(CommandFrame, ExampleFrames) {
    const std::pair<std::uint32_t, Bytes> cases[] = {
        {1, {'Q', 'N', 'L', 'R', 0x02, 0x0B, 0x02, 0x00, 0x02, 0x00, 0x00, 0x08, 0x01, 0x25, 0x1B}},
        {0, {'Q', 'N', 'L', 'R', 0x02, 0x0B, 0x00, 0x00, 0x02, 0x00, 0x00, 0x03, 0x65}},  // empty request
    };
    for (const auto& [msg_id, expected] : cases) EXPECT_EQ(encode_app_to_mcu(request_with_id(msg_id)), std::pair(msg_id, expected));
}

// The JSON text of the request goes into an Info record, and nothing else is logged once
// the shared builder exists; a request that has no JSON text (an enum number without a
// name) is an internal fault, but only when Info is enabled.
TEST(CommandFrame, InfoRecordCarriesJsonText) {
    m::AppMain good = request_with_id(4), bad = request_with_id(2);
    good.mutable_eeg()->set_cmd(m::AcqCmd_ENABLE);
    bad.mutable_eeg()->mutable_config()->set_gain(static_cast<m::EegGainValue>(7));
    {
        kx::test::LogCapture log(Level::Warn);
        kx::test::LogCaptureScope scope(log);
        EXPECT_EQ(encode_app_to_mcu(bad).first, 2u);
    }
    kx::test::LogCapture log;
    kx::test::LogCaptureScope scope(log);
    (void)encode_app_to_mcu(good);
    try {
        (void)encode_app_to_mcu(bad);
        ADD_FAILURE() << "no fault";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "called `Result::unwrap()` on an `Err` value: Error(\"Invalid variant 7\", line: 0, column: 0)");
    }
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(std::tie(records[0].level, records[0].target, records[0].message),
              std::tuple(Level::Info, "kx_proto_sdk::proto::eeg_cap::msg_builder::eeg_cap_msg_builder",
                         R"(encode_app_to_mcu: {"msgId":4,"eeg":{"cmd":"ENABLE"}})"));
}

TEST(CommandFrame, BuilderLogsItsDialectOnCreation) {
    kx::test::LogCapture log;
    kx::test::LogCaptureScope scope(log);
    const kx::proto::MsgBuilder fresh(kx::proto::MsgType::Orvel);
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(std::tie(records[0].level, records[0].target, records[0].message),
              std::tuple(Level::Debug, "kx_proto_sdk::proto::msg_builder",
                         "BuilderType: Orvel, Project ID: 0xb, Header version: 2, header_prefix: [81, 78, 76, 82, 2, 11]"));
}

}  // namespace
