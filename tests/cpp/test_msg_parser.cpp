#include <gtest/gtest.h>

#include <thread>

#include "frame_test_support.hpp"
#include "log_capture.hpp"
#include "proto/debug_text.hpp"
#include "proto/msg_parser.hpp"

namespace {

using kx::log::Level;
using kx::proto::DeviceMessage;
using kx::proto::MsgParser;
using kx::proto::MsgType;
using kx::test::Bytes;
using kx::test::cat;

std::vector<DeviceMessage> drain(kx::proto::MessageReceiver& rx) {
    std::vector<DeviceMessage> out;
    for (;;) {
        auto r = rx.try_recv();
        if (!r.has_item()) return out;
        out.push_back(std::move(*r.item));
    }
}

class MsgParserTest : public testing::Test {
protected:
    kx::test::LogCapture log;
    kx::test::LogCaptureScope scope{log};
};

TEST_F(MsgParserTest, PublishesDecodedMessagesInOrderWithDeviceId) {
    MsgParser parser("cap-\"1\"", MsgType::Orvel);
    auto rx = parser.sender().subscribe();
    const Bytes request{0x08, 0x01, 0x1A, 0x02, 0x08, 0x03};
    parser.receive_data(cat({kx::test::eeg_frame(1), kx::test::orvel_frame(2, 0, request), kx::test::eeg_frame(2)}));
    const auto got = drain(rx);
    ASSERT_EQ(got.size(), 3u);
    for (const auto& m : got) EXPECT_EQ(m.device_id(), "cap-\"1\"");
    const auto& first = std::get<kx::proto::Mcu2App>(got[0].message().orvel.value).message;
    EXPECT_EQ(first.msg_id(), 1u);
    EXPECT_EQ(first.eeg().data().sample_1().data().size(), 108u);
    std::string text;
    kx::proto::append_debug(text, got[1]);
    EXPECT_EQ(text,
              "(\"cap-\\\"1\\\"\", Orvel(App2Mcu(AppMain { msg_id: 1, eeg: Some(EegAcqRequest { cmd: Enable, "
              "config: None }), imu: None })))");
    EXPECT_EQ(std::get<kx::proto::Mcu2App>(got[2].message().orvel.value).message.msg_id(), 2u);
    EXPECT_TRUE(log.messages(Level::Warn).empty());
}

TEST_F(MsgParserTest, PublishWithoutSubscriberFindsKeptReceiver) {
    MsgParser parser("cap-1", MsgType::Orvel);
    for (int i = 0; i < 300; ++i) parser.receive_data(kx::test::eeg_frame(static_cast<std::uint32_t>(i)));
    EXPECT_TRUE(log.messages(Level::Warn).empty());
}

TEST_F(MsgParserTest, VersionZeroFrameTraceAndNoMessage) {
    MsgParser parser("m", MsgType::Merrow);
    parser.receive_data(kx::test::frame_of(MsgType::Merrow, 1, 2, {7, 8}));
    EXPECT_EQ(log.count("Source module: 1, Destination module: 2, payload: [7, 8], payload_len=2"), 1u);
    EXPECT_EQ(log.count("Failed to parse message, error: UnknownProtoType(Merrow)"), 1u);
}

TEST_F(MsgParserTest, InvalidModulePairIsDroppedByResync) {
    MsgParser parser("cap-1", MsgType::Orvel);
    auto rx = parser.sender().subscribe();
    parser.receive_data(cat({kx::test::orvel_frame(0, 1, {}), kx::test::orvel_frame(1, 2, {0x08, 0x09})}));
    EXPECT_EQ(log.count("Source module: 0, Destination module: 1, payload: []"), 1u);
    const auto got = drain(rx);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<kx::proto::Ble2App>(got[0].message().orvel.value).message.msg_id(), 9u);
}

// A copy keeps its own buffer and shares the channel.
TEST_F(MsgParserTest, CopyCompletesHalfFrameAndPublishesOnSharedChannel) {
    MsgParser parser("cap-1", MsgType::Orvel);
    auto rx = parser.sender().subscribe();
    const Bytes frame = kx::test::eeg_frame(7);
    const std::size_t half = frame.size() / 2;
    parser.receive_data(Bytes(frame.begin(), frame.begin() + static_cast<long>(half)));
    MsgParser copy = parser;
    copy.receive_data(Bytes(frame.begin() + static_cast<long>(half), frame.end()));
    EXPECT_EQ(drain(rx).size(), 1u);
    EXPECT_EQ(parser.scanner().buffered().size(), half);
    EXPECT_TRUE(copy.scanner().buffered().empty());
    parser.receive_data(Bytes(frame.begin() + static_cast<long>(half), frame.end()));
    EXPECT_EQ(drain(rx).size(), 1u);
}

TEST_F(MsgParserTest, ChannelClosesWhenLastCopyGoes) {
    auto parser = std::make_unique<MsgParser>("cap-1", MsgType::Orvel);
    auto rx = parser->sender().subscribe();
    auto copy = std::make_unique<MsgParser>(*parser);
    parser.reset();
    EXPECT_EQ(rx.try_recv().status, kx::utils::RecvStatus::Empty);
    copy->receive_data(kx::test::eeg_frame(1));
    copy.reset();
    EXPECT_EQ(rx.try_recv().status, kx::utils::RecvStatus::Item);
    EXPECT_EQ(rx.try_recv().status, kx::utils::RecvStatus::Closed);
}

TEST_F(MsgParserTest, ParserAndCopyPublishFromTwoThreads) {
    MsgParser parser("cap-1", MsgType::Orvel);
    auto rx = parser.sender().subscribe();
    MsgParser copy = parser;
    const Bytes frame = kx::test::eeg_frame(3);
    std::thread other([&] {
        for (int i = 0; i < 50; ++i) copy.receive_data(frame);
    });
    for (int i = 0; i < 50; ++i) parser.receive_data(frame);
    other.join();
    EXPECT_EQ(drain(rx).size(), 100u);
}

}  // namespace
