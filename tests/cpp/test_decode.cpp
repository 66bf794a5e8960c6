#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/util/message_differencer.h>

#include <memory>
#include <random>
#include <string_view>

#include "kx_proto_sdk_eeg_cap.pb.h"
#include "proto/decode.hpp"
#include "proto_wire.hpp"

namespace {

using namespace kx::test;
using kx::proto::DecodeError;
using kx::proto::decode_message;
using google::protobuf::Message;
using google::protobuf::util::MessageDifferencer;
namespace msgs = kx_proto_sdk::eeg_cap;

using Stack = std::vector<std::pair<std::string, std::string>>;

std::unique_ptr<Message> new_message(std::string_view name) {
    const auto* desc = msgs::MainApp::descriptor()->file()->FindMessageTypeByName(std::string(name));
    EXPECT_NE(desc, nullptr) << name;
    return std::unique_ptr<Message>(
        google::protobuf::MessageFactory::generated_factory()->GetPrototype(desc)->New());
}

Bytes group_nest(int depth, std::uint32_t tag = 99) {
    Bytes out;
    for (int i = 0; i < depth; ++i) out = cat({out, key(tag, 3)});
    for (int i = 0; i < depth; ++i) out = cat({out, key(tag, 4)});
    return out;
}

// ---- Errors: description and path ------------------------------------------

struct ErrorCase {
    const char* name;
    const char* type;
    Bytes payload;
    std::string description;
    Stack stack;
};

class DecodeErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(DecodeErrors, ReportsDescriptionAndPathInnermostFirst) {
    const auto& c = GetParam();
    auto msg = new_message(c.type);
    const auto err = decode_message(c.payload, *msg);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->description, c.description);
    EXPECT_EQ(err->stack, c.stack);
    // The partly decoded message is discarded.
    EXPECT_EQ(msg->ByteSizeLong(), 0u);
}

const std::string kLd = "invalid wire type: LengthDelimited (expected Varint)";
const std::string kUtf8 = "invalid string value: data is not UTF-8 encoded";
const std::string kUnder = "buffer underflow";
const std::string kVarint = "invalid varint";
const std::string kExceeded = "delimited length exceeded";
const Stack kImuPath = {{"ImuValue", "cord_x"}, {"ImuData", "accel"}, {"ImuAcqResponse", "data"}, {"MainApp", "imu"}};
const Stack kMsgId = {{"MainApp", "msg_id"}};

INSTANTIATE_TEST_SUITE_P(
    Catalogue, DecodeErrors,
    ::testing::Values(
        ErrorCase{"KnownFieldWrongWireTypeAppMain", "AppMain", {0x0A}, kLd, {{"AppMain", "msg_id"}}},
        ErrorCase{"KnownFieldWrongWireTypeMainApp", "MainApp", {0x0A}, kLd, kMsgId},
        ErrorCase{"MessageFieldAsVarint", "MainApp", {0x18, 0x01},
                  "invalid wire type: Varint (expected LengthDelimited)", {{"MainApp", "eeg"}}},
        ErrorCase{"EndGroupOnKnownField", "MainApp", {0x0C}, "invalid wire type: EndGroup (expected Varint)", kMsgId},
        ErrorCase{"NestedWrongWireType", "MainApp", ld(3, ld(1, {0x0D, 1, 2, 3, 4})),
                  "invalid wire type: ThirtyTwoBit (expected Varint)",
                  {{"EegConfig", "freq"}, {"EegAcqResponse", "config"}, {"MainApp", "eeg"}}},
        ErrorCase{"FloatAsSixtyFourBit", "MainApp", ld(4, ld(2, ld(1, {0x11}))),
                  "invalid wire type: SixtyFourBit (expected ThirtyTwoBit)", kImuPath},
        ErrorCase{"TagZero", "MainApp", {0x00}, "invalid tag value: 0", {}},
        ErrorCase{"WireTypeSeven", "BleApp", {0x0F}, "invalid wire type value: 7", {}},
        ErrorCase{"WireTypeSix", "AppMain", {0x0E}, "invalid wire type value: 6", {}},
        ErrorCase{"StrayEndGroup", "AppDongle", {0x7C}, "unexpected end group tag", {}},
        ErrorCase{"KeyAboveU32", "MainApp", varint(0x100000000ull), "invalid key value: 4294967296", {}},
        ErrorCase{"KeyTruncated", "MainApp", {0x80}, kVarint, {}},
        ErrorCase{"ValueTruncated", "MainApp", {0x08}, kVarint, kMsgId},
        ErrorCase{"VarintElevenBytes", "MainApp", cat({{0x08}, Bytes(10, 0xFF), {0x01}}), kVarint, kMsgId},
        ErrorCase{"VarintOverflowsU64", "MainApp", cat({{0x08}, Bytes(9, 0xFF), {0x02}}), kVarint, kMsgId},
        ErrorCase{"SubMessageLengthBeyondPayload", "MainApp", {0x1A, 0x05, 0x08}, kUnder, {{"MainApp", "eeg"}}},
        ErrorCase{"FloatCutShort", "MainApp", {0x22, 0x05, 0x12, 0x03, 0x0A, 0x01, 0x15, 0xAA, 0xBB, 0xCC}, kUnder,
                  kImuPath},
        ErrorCase{"StringLengthBeyondPayload", "BleApp", ld(3, {0x12, 0x09, 'a'}), kUnder,
                  {{"DeviceInfo", "sn"}, {"BleApp", "device_info"}}},
        ErrorCase{"FieldCrossesSubMessageEnd", "AppMain", {0x1A, 0x02, 0x08, 0x96, 0x01}, kExceeded,
                  {{"AppMain", "eeg"}}},
        ErrorCase{"StringCrossesSubMessageEnd", "BleApp", {0x1A, 0x02, 0x0A, 0x03, 'a', 'b', 'c'}, kExceeded,
                  {{"BleApp", "device_info"}}},
        ErrorCase{"InvalidUtf8", "BleApp", ld(3, {0x0A, 0x02, 0xFF, 0xFE}), kUtf8,
                  {{"DeviceInfo", "model"}, {"BleApp", "device_info"}}},
        ErrorCase{"Utf8Overlong", "AppDongle", ld(4, ld(1, {0x1A, 0x02, 0xC0, 0xAF})), kUtf8,
                  {{"WiFiWpaConfig", "password"}, {"WiFiConfig", "wpa_config"}, {"AppDongle", "wifi_config"}}},
        // Errors while skipping an unknown field add no pair of their own.
        ErrorCase{"UnknownVarintTruncatedInSubMessage", "MainApp", {0x1A, 0x02, 0x98, 0x06}, kVarint,
                  {{"MainApp", "eeg"}}},
        ErrorCase{"UnknownFixed64Short", "MainApp", cat({key(99, 1), {1, 2, 3}}), kUnder, {}},
        ErrorCase{"UnknownFixed32Short", "MainApp", cat({key(99, 5), {1, 2, 3}}), kUnder, {}},
        ErrorCase{"UnknownLengthBeyondPayload", "BleApp", cat({key(99, 2), {0x04, 1}}), kUnder, {}},
        ErrorCase{"GroupClosedByOtherTag", "MainApp", cat({key(99, 3), key(98, 4)}), "unexpected end group tag", {}},
        ErrorCase{"GroupNeverClosed", "MainApp", cat({key(99, 3), {0x08, 0x01}}), kVarint, {}},
        ErrorCase{"TooManyNestedGroups", "AppMain", group_nest(101), "recursion limit reached", {}},
        ErrorCase{"TooManyNestedGroupsInSubMessage", "MainApp", ld(3, group_nest(100)), "recursion limit reached",
                  {{"MainApp", "eeg"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeError, DebugTextListsDescriptionAndPath) {
    DecodeError e{"buffer underflow", {{"MainApp", "eeg"}}};
    EXPECT_EQ(fmt::format("{:?}", e), R"(DecodeError { description: "buffer underflow", stack: [("MainApp", "eeg")] })");
    EXPECT_EQ(fmt::format("{}", DecodeError{"t", {}}), R"(DecodeError { description: "t", stack: [] })");
    DecodeError two{"x", {{"ImuValue", "cord_x"}, {"ImuData", "accel"}}};
    EXPECT_EQ(fmt::format("{:?}", two),
              R"(DecodeError { description: "x", stack: [("ImuValue", "cord_x"), ("ImuData", "accel")] })");
}

// ---- Successful decoding ----------------------------------------------------

TEST(Decode, Uint32KeepsLow32BitsAndEnumKeepsAnyNumber) {
    msgs::MainApp m;
    ASSERT_FALSE(decode_message(cat({key(1, 0), varint(0x100000005ull), key(2, 0), varint(7)}), m));
    EXPECT_EQ(m.msg_id(), 5u);
    EXPECT_EQ(static_cast<int>(m.err()), 7);

    // A 10-byte varint of a negative number gives that number.
    ASSERT_FALSE(decode_message(cat({key(2, 0), varint(static_cast<std::uint64_t>(-2))}), m));
    EXPECT_EQ(static_cast<int>(m.err()), -2);
}

TEST(Decode, BoolFloatStringBytes) {
    msgs::OtaData d;
    ASSERT_FALSE(decode_message(cat({key(3, 0), varint(2), ld(2, {0, 1, 2})}), d));
    EXPECT_TRUE(d.finished());
    EXPECT_EQ(d.data(), std::string("\x00\x01\x02", 3));

    msgs::ImuValue v;
    ASSERT_FALSE(decode_message(Bytes{0x15, 0x00, 0x00, 0xC0, 0xBF, 0x1D, 0x00, 0x00, 0x80, 0x3F}, v));
    EXPECT_EQ(v.cord_x(), -1.5f);
    EXPECT_EQ(v.cord_y(), 1.0f);

    msgs::DeviceInfo i;
    ASSERT_FALSE(decode_message(ld(1, bytes_of("caf\xC3\xA9 \xF0\x9F\x98\x80")), i));
    EXPECT_EQ(i.model(), "caf\xC3\xA9 \xF0\x9F\x98\x80");
}

TEST(Decode, EmptySubMessageIsPresent) {
    msgs::MainApp m;
    ASSERT_FALSE(decode_message(Bytes{0x1A, 0x00}, m));
    ASSERT_TRUE(m.has_eeg());
    EXPECT_FALSE(m.eeg().has_config());
    EXPECT_FALSE(m.eeg().has_data());
    EXPECT_FALSE(m.has_imu());
}

TEST(Decode, RepeatedSubMessageMergesAndLastScalarWins) {
    const Bytes config = ld(1, {0x08, 0x6F});                // freq 111
    const Bytes data = ld(2, ld(1, {0x08, 0x05}));           // sample_1.timestamp 5
    const Bytes data2 = ld(2, ld(1, {0x08, 0x06, 0x12, 0x01, 0x09}));
    msgs::MainApp m;
    ASSERT_FALSE(decode_message(cat({ld(3, config), {0x08, 0x01}, ld(3, data), {0x08, 0x02}, ld(3, data2)}), m));
    EXPECT_EQ(m.msg_id(), 2u);
    EXPECT_EQ(m.eeg().config().freq(), msgs::EegSampleRateValue_SR_250Hz);
    EXPECT_EQ(m.eeg().data().sample_1().timestamp(), 6u);
    EXPECT_EQ(m.eeg().data().sample_1().data(), "\x09");

    // A later string or bytes value replaces the earlier one.
    msgs::DeviceInfo i;
    ASSERT_FALSE(decode_message(cat({ld(1, bytes_of("long model")), ld(1, bytes_of("m2"))}), i));
    EXPECT_EQ(i.model(), "m2");
}

TEST(Decode, UndefinedTagTwoOfAppMainIsSkipped) {
    msgs::AppMain m;
    ASSERT_FALSE(decode_message(Bytes{0x10, 0x05, 0x08, 0x03}, m));
    EXPECT_EQ(m.msg_id(), 3u);
}

// Unknown field 99 of every wire type, a group holding fields of every kind
// included, is skipped inside every message of the catalogue.
TEST(Decode, UnknownFieldsSkippedInEveryMessage) {
    const Bytes unknown = cat({key(99, 0), varint(300), key(99, 1), Bytes(8, 0xAB), key(99, 5), Bytes(4, 0xCD),
                               ld(99, {1, 2, 3}), key(99, 3), key(7, 0), {0x01}, ld(8, {0xFF}), key(99, 3),
                               key(99, 4), key(99, 4)});
    const auto* file = msgs::MainApp::descriptor()->file();
    ASSERT_EQ(file->message_type_count(), 23);
    for (int i = 0; i < file->message_type_count(); ++i) {
        const auto name = file->message_type(i)->name();
        auto msg = new_message(name);
        EXPECT_FALSE(decode_message(unknown, *msg).has_value()) << name;
        EXPECT_EQ(msg->ByteSizeLong(), 0u) << name;
        // Also as a sub-message, where the skipped bytes must end on the boundary.
        msgs::MainApp outer;
        EXPECT_FALSE(decode_message(cat({ld(3, unknown), {0x08, 0x01}}), outer)) << name;
        EXPECT_TRUE(outer.has_eeg());
        EXPECT_EQ(outer.msg_id(), 1u);
    }
}

TEST(Decode, HundredNestedGroupsAreSkipped) {
    msgs::BleApp m;
    EXPECT_FALSE(decode_message(cat({group_nest(100), {0x08, 0x09}}), m).has_value());
    EXPECT_EQ(m.msg_id(), 9u);
    // One level down the budget is one less.
    msgs::MainApp outer;
    EXPECT_FALSE(decode_message(ld(3, group_nest(99)), outer).has_value());
}

// ---- Encoding of AppMain and the round trip --------------------------------

TEST(EncodeAppMain, WireBytes) {
    msgs::AppMain full;
    full.set_msg_id(4);
    full.mutable_eeg()->set_cmd(msgs::AcqCmd_CFG_SET);
    auto* c = full.mutable_eeg()->mutable_config();
    c->set_freq(msgs::EegSampleRateValue_SR_250Hz);
    c->set_gain(msgs::EegGainValue_GAIN_24);
    c->set_source(msgs::EegSignalSourceValue_NORMAL);
    full.mutable_imu()->mutable_config()->set_freq(msgs::ImuSampleRateValue_SR_100Hz);
    const Bytes expected = {0x08, 0x04, 0x1A, 0x0A, 0x08, 0x01, 0x12, 0x06, 0x08, 0x6F, 0x10, 0x6F,
                            0x18, 0x0F, 0x22, 0x04, 0x12, 0x02, 0x08, 0x02};
    EXPECT_EQ(bytes_of(full.SerializeAsString()), expected);
}

// ---- Randomized ------------------------------------------------------------

// Random and mutated-valid payloads: decoding never crashes; on failure the
// message is cleared; on success the message agrees with libprotobuf's own
// parser and survives re-encoding.
TEST(DecodeRandomized, AgreesWithLibprotobufAndNeverCrashes) {
    std::mt19937_64 rng(20261206);
    const char* types[] = {"AppDongle", "BleApp", "AppMain", "MainApp"};
    const Bytes seeds[] = {
        cat({{0x08, 0x07}, ld(3, cat({ld(1, {0x08, 0x6F, 0x10, 0x6F, 0x18, 0x0F}),
                                      ld(2, ld(1, cat({{0x08, 0xE8, 0x07}, ld(2, Bytes(108, 0x5A))})))}))}),
        cat({ld(4, ld(2, ld(1, {0x08, 0x01, 0x15, 0, 0, 0xC0, 0xBF, 0x1D, 0, 0, 0x80, 0x3F})))}),
        cat({{0x08, 0x03}, ld(3, cat({ld(1, bytes_of("model")), ld(3, {1, 2, 3, 4, 5, 6})})),
             ld(4, ld(2, ld(1, {0x08, 0x01}))), {0x28, 0x02}, ld(6, {0x08, 0x01, 0x10, 0x80, 0x20})}),
        cat({ld(5, cat({{0x08, 0x01}, ld(2, cat({{0x08, 0x10}, ld(2, {9, 9}), {0x18, 0x01}})), ld(4, bytes_of("md5"))}))}),
    };
    std::size_t iterations = 0, decoded_ok = 0;
    for (int iter = 0; iter < 100000; ++iter) {
        Bytes payload;
        if (iter % 2 == 0) {
            const std::size_t len = rng() % 48;
            for (std::size_t i = 0; i < len; ++i) {
                // Favour small bytes and key-like values so that some inputs go deep.
                const auto r = rng();
                payload.push_back(static_cast<std::uint8_t>(r % 3 == 0 ? r % 0x30 : r >> 8));
            }
        } else {
            payload = seeds[rng() % std::size(seeds)];
            const int edits = static_cast<int>(rng() % 4);
            for (int e = 0; e < edits && !payload.empty(); ++e) {
                const std::size_t at = rng() % payload.size();
                switch (rng() % 3) {
                    case 0: payload[at] = static_cast<std::uint8_t>(rng()); break;
                    case 1: payload.erase(payload.begin() + static_cast<long>(at)); break;
                    default: payload.insert(payload.begin() + static_cast<long>(at), static_cast<std::uint8_t>(rng()));
                }
            }
            if (rng() % 4 == 0) payload.resize(rng() % (payload.size() + 1));
        }
        for (const char* type : types) {
            ++iterations;
            auto ours = new_message(type);
            const auto err = decode_message(payload, *ours);
            if (err) {
                ASSERT_EQ(ours->ByteSizeLong(), 0u);
                ASSERT_FALSE(err->description.empty());
                // Every path entry names a field of a catalogue message.
                for (const auto& [message, field] : err->stack) {
                    const auto* d = msgs::MainApp::descriptor()->file()->FindMessageTypeByName(message);
                    ASSERT_NE(d, nullptr) << message;
                    ASSERT_NE(d->FindFieldByName(field), nullptr) << message << "." << field;
                }
                continue;
            }
            ++decoded_ok;
            auto theirs = new_message(type);
            ASSERT_TRUE(theirs->ParseFromArray(payload.data(), static_cast<int>(payload.size())))
                << type << " iteration " << iter;
            theirs->DiscardUnknownFields();
            ASSERT_TRUE(MessageDifferencer::Equals(*ours, *theirs)) << type << " iteration " << iter;
            auto again = new_message(type);
            ASSERT_FALSE(decode_message(bytes_of(ours->SerializeAsString()), *again));
            ASSERT_TRUE(MessageDifferencer::Equals(*ours, *again));
        }
    }
    EXPECT_GT(decoded_ok, iterations / 20);  // the generator must reach the success path too
}

}  // namespace
