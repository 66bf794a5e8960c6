#include <gtest/gtest.h>

#include <tuple>
#include <variant>

#include "frame_test_support.hpp"
#include "log_capture.hpp"
#include "proto/debug_text.hpp"
#include "proto/eeg_cap/msg_builder.hpp"

namespace {

using kx::proto::ParsedMessage;

// The module pair alone chooses the direction; any other pair is refused
// without a record of its own. Every call leaves one Trace record.
TEST(Dispatch, ModulePairChoosesTheDirection) {
    kx::test::LogCapture log;
    kx::test::LogCaptureScope scope(log);
    const std::tuple<std::uint8_t, std::uint8_t, std::string> cases[] = {
        {2, 1, "App2Ble"}, {2, 0, "App2Mcu"}, {1, 2, "Ble2App"}, {0, 2, "Mcu2App"},
        {2, 2, "InvalidDestinationModule(Orvel, 2)"}, {2, 7, "InvalidDestinationModule(Orvel, 7)"},
        {0, 0, "InvalidModule(Orvel, 0, 0)"},         {1, 1, "InvalidModule(Orvel, 1, 1)"},
        {0, 1, "InvalidModule(Orvel, 0, 1)"},         {3, 4, "InvalidModule(Orvel, 3, 4)"},
        {3, 2, "InvalidSourceModule(Orvel, 3)"},      {255, 2, "InvalidSourceModule(Orvel, 255)"},
    };
    for (const auto& [source, destination, expected] : cases) {
        const auto r = kx::proto::eeg_cap::parse_message(source, destination, kx::test::Bytes{8, 1});
        const auto* m = std::get_if<ParsedMessage>(&r);
        EXPECT_EQ(m ? std::string(m->orvel.direction_name()) : kx::proto::debug_string(std::get<kx::proto::ProtoError>(r)),
                  expected);
        EXPECT_TRUE(!m || m->orvel.message().ByteSizeLong() == 2u);  // msg_id 1
    }
    const auto records = log.records();
    ASSERT_EQ(records.size(), std::size(cases));
    for (const auto& r : records) EXPECT_EQ(r.level, kx::log::Level::Trace);
    EXPECT_EQ(records[0].message, "parse_message: 2, 1, [8, 1]");
    EXPECT_EQ(records[0].target, "kx_proto_sdk::proto::eeg_cap::msg_builder");
    EXPECT_EQ(records[0].file, "src/proto/eeg_cap/msg_builder");
    EXPECT_EQ(records[0].line, 104u);
}

}  // namespace
