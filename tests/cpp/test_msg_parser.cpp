#include <gtest/gtest.h>

#include "frame_test_support.hpp"
#include "log_capture.hpp"
#include "proto/debug_text.hpp"
#include "proto/msg_parser.hpp"

namespace {

using kx::log::Level;
using kx::proto::MsgParser;
using kx::proto::MsgType;
using kx::test::Bytes;
using kx::test::drain;

class MsgParserTest : public kx::test::LogCapturingTest {};

TEST_F(MsgParserTest, PublishesDecodedMessagesInOrderWithDeviceId) {
    MsgParser parser("cap-\"1\"", MsgType::Orvel);
    // With no receiver but the kept one the channel still takes every message.
    for (int i = 0; i < 300; ++i) parser.receive_data(kx::test::eeg_frame(static_cast<std::uint32_t>(i)));
    auto rx = parser.sender().subscribe();
    const Bytes request{0x08, 0x01, 0x1A, 0x02, 0x08, 0x03};
    parser.receive_data(kx::test::cat({kx::test::eeg_frame(1), kx::test::frame_of(MsgType::Orvel, 2, 0, request), kx::test::eeg_frame(2)}));
    const auto got = drain(rx);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].message(), (kx::proto::ParsedMessage{{kx::proto::Mcu2App{kx::test::eeg_main_app(1)}}}));
    EXPECT_EQ(kx::proto::debug_string(got[1]),
              "(\"cap-\\\"1\\\"\", Orvel(App2Mcu(AppMain { msg_id: 1, eeg: Some(EegAcqRequest { cmd: Enable, "
              "config: None }), imu: None })))");
    EXPECT_EQ(got[2].message(), (kx::proto::ParsedMessage{{kx::proto::Mcu2App{kx::test::eeg_main_app(2)}}}));
    EXPECT_TRUE(log.messages(Level::Warn).empty());
}

// Version 0 puts the destination before the source.
TEST_F(MsgParserTest, VersionZeroFrameTraceAndNoMessage) {
    MsgParser parser("m", MsgType::Merrow);
    parser.receive_data(kx::test::frame_of(MsgType::Merrow, 1, 2, {7, 8}));
    EXPECT_EQ(log.count("Source module: 1, Destination module: 2, payload: [7, 8], payload_len=2"), 1u);
    EXPECT_EQ(log.count("Failed to parse message, error: UnknownProtoType(Merrow)"), 1u);
}

// A copy keeps its own buffer and shares the channel, which closes with the last copy.
TEST_F(MsgParserTest, CopyCompletesHalfFrameAndSharesTheChannel) {
    auto parser = std::make_unique<MsgParser>("cap-1", MsgType::Orvel);
    auto rx = parser->sender().subscribe();
    const Bytes frame = kx::test::eeg_frame(7);
    const auto half = static_cast<long>(frame.size() / 2);
    parser->receive_data(Bytes(frame.begin(), frame.begin() + half));
    auto copy = std::make_unique<MsgParser>(*parser);
    copy->receive_data(Bytes(frame.begin() + half, frame.end()));
    EXPECT_EQ(drain(rx).size(), 1u);
    EXPECT_EQ(parser->scanner().buffered().size(), static_cast<std::size_t>(half));
    EXPECT_TRUE(copy->scanner().buffered().empty());
    parser.reset();
    EXPECT_EQ(rx.try_recv().status, kx::utils::RecvStatus::Empty);
    copy->receive_data(frame);
    copy.reset();
    EXPECT_EQ(rx.try_recv().status, kx::utils::RecvStatus::Item);
    EXPECT_EQ(rx.try_recv().status, kx::utils::RecvStatus::Closed);
}

}  // namespace
