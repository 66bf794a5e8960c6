#include <gtest/gtest.h>

#include "frame_test_support.hpp"
#include "proto/decode.hpp"

namespace {

using namespace kx::test;
using kx::proto::decode_message;

using Stack = std::vector<std::pair<std::string, std::string>>;

Bytes group_nest(int depth, std::uint32_t tag = 99) {
    Bytes out;
    for (int i = 0; i < depth; ++i) out = cat({out, key(tag, 3)});
    for (int i = 0; i < depth; ++i) out = cat({out, key(tag, 4)});
    return out;
}

TEST(Decode, ErrorsGiveDescriptionAndPathInnermostFirstAndClearTheMessage) {
    const std::string ld_varint = "invalid wire type: LengthDelimited (expected Varint)", under = "buffer underflow",
                      bad_varint = "invalid varint", exceeded = "delimited length exceeded",
                      utf8 = "invalid string value: data is not UTF-8 encoded", end_group = "unexpected end group tag";
    const Stack msg_id = {{"MainApp", "msg_id"}}, eeg = {{"MainApp", "eeg"}},
                imu = {{"ImuValue", "cord_x"}, {"ImuData", "accel"}, {"ImuAcqResponse", "data"}, {"MainApp", "imu"}};
    const struct { const char* type; Bytes payload; std::string description; Stack stack; } cases[] = {
        {"MainApp", {0x0A}, ld_varint, msg_id},
        {"MainApp", {0x18, 0x01}, "invalid wire type: Varint (expected LengthDelimited)", eeg},
        {"MainApp", {0x0C}, "invalid wire type: EndGroup (expected Varint)", msg_id},
        {"MainApp", ld(3, ld(1, {0x0D, 1, 2, 3, 4})), "invalid wire type: ThirtyTwoBit (expected Varint)",
         {{"EegConfig", "freq"}, {"EegAcqResponse", "config"}, {"MainApp", "eeg"}}},
        {"MainApp", ld(4, ld(2, ld(1, {0x11}))), "invalid wire type: SixtyFourBit (expected ThirtyTwoBit)", imu},
        {"MainApp", {0x00}, "invalid tag value: 0", {}},
        {"BleApp", {0x0F}, "invalid wire type value: 7", {}},
        {"AppDongle", {0x7C}, end_group, {}},
        {"MainApp", varint(0x100000000ull), "invalid key value: 4294967296", {}},
        {"MainApp", {0x80}, bad_varint, {}},
        {"MainApp", {0x08}, bad_varint, msg_id},
        {"MainApp", cat({{0x08}, Bytes(10, 0xFF), {0x01}}), bad_varint, msg_id},  // eleven bytes
        {"MainApp", cat({{0x08}, Bytes(9, 0xFF), {0x02}}), bad_varint, msg_id},   // above 64 bits
        {"MainApp", {0x1A, 0x02, 0x08}, under, eeg},  // lengths one past the end
        {"MainApp", {0x22, 0x05, 0x12, 0x03, 0x0A, 0x01, 0x15, 0xAA, 0xBB, 0xCC}, under, imu},
        {"BleApp", ld(3, {0x12, 0x02, 'a'}), under, {{"DeviceInfo", "sn"}, {"BleApp", "device_info"}}},
        {"AppMain", {0x1A, 0x02, 0x08, 0x96, 0x01}, exceeded, {{"AppMain", "eeg"}}},
        {"BleApp", {0x1A, 0x02, 0x0A, 0x03, 'a', 'b', 'c'}, exceeded, {{"BleApp", "device_info"}}},
        {"AppDongle", ld(4, ld(1, {0x1A, 0x02, 0xC0, 0xAF})), utf8,
         {{"WiFiWpaConfig", "password"}, {"WiFiConfig", "wpa_config"}, {"AppDongle", "wifi_config"}}},
        // Errors while skipping an unknown field add no pair of their own.
        {"MainApp", {0x1A, 0x02, 0x98, 0x06}, bad_varint, eeg},
        {"MainApp", cat({key(99, 1), {1, 2, 3, 4, 5, 6, 7}}), under, {}},
        {"MainApp", cat({key(99, 5), {1, 2, 3}}), under, {}},
        {"BleApp", cat({key(99, 2), {0x02, 1}}), under, {}},
        {"MainApp", cat({key(99, 3), key(98, 4)}), end_group, {}},
        {"MainApp", cat({key(99, 3), {0x08, 0x01}}), bad_varint, {}},
        {"AppMain", group_nest(101), "recursion limit reached", {}},
        {"MainApp", ld(3, group_nest(100)), "recursion limit reached", eeg},
    };
    for (const auto& c : cases) {
        auto msg = new_message(c.type);
        const auto err = decode_message(c.payload, *msg);
        ASSERT_TRUE(err.has_value()) << c.description;
        EXPECT_EQ(err->description, c.description);
        EXPECT_EQ(err->stack, c.stack) << c.description;
        EXPECT_EQ(msg->ByteSizeLong(), 0u);
    }
}

// Payloads that libprotobuf decodes too: what ours gives must match it (random ones
// are compared in test_frame_fuzz.cpp).
const Bytes kUnknown = cat({key(99, 0), varint(300), key(99, 1), Bytes(8, 0xAB), key(99, 5), Bytes(4, 0xCD),
                            ld(99, {1, 2, 3}), key(99, 3), key(7, 0), {0x01}, ld(8, {0xFF}), key(99, 3), key(99, 4),
                            key(99, 4)});
const std::pair<const char*, Bytes> kValid[] = {
    // uint32 keeps the low 32 bits; an enum keeps any number, negative ones from 10-byte varints.
    {"MainApp", cat({key(1, 0), varint(0x100000005ull), key(2, 0), varint(static_cast<std::uint64_t>(-2))})},
    // A repeated sub-message merges; a later scalar, string or bytes value wins.
    {"MainApp", cat({ld(3, ld(1, {0x08, 0x6F})), {0x08, 0x01}, ld(3, ld(2, ld(1, {0x08, 0x05}))), {0x08, 0x02},
                     ld(3, ld(2, ld(1, {0x08, 0x06, 0x12, 0x01, 0x09})))})},
    {"BleApp", ld(3, cat({ld(1, bytes_of("long model")), ld(1, bytes_of("m2"))}))},
    {"MainApp", {0x1A, 0x00}},                // a present empty sub-message
    {"AppMain", {0x10, 0x05, 0x08, 0x03}},    // tag 2 is not a field of AppMain
    {"BleApp", cat({kUnknown, ld(3, kUnknown), ld(4, ld(1, kUnknown)), {0x08, 0x01}})},
    {"BleApp", cat({group_nest(100), {0x08, 0x09}})},  // the nesting budget, one less per level
    {"MainApp", ld(3, group_nest(99))},
};

TEST(Decode, ValidPayloadsDecodeAsLibprotobufDecodesThem) {
    for (const auto& [type, payload] : kValid) {
        auto ours = new_message(type), theirs = new_message(type);
        ASSERT_FALSE(decode_message(payload, *ours).has_value()) << type << " " << payload.size();
        ASSERT_TRUE(theirs->ParseFromArray(payload.data(), static_cast<int>(payload.size())));
        theirs->DiscardUnknownFields();
        EXPECT_EQ(ours->DebugString(), theirs->DebugString());
    }
}

}  // namespace
