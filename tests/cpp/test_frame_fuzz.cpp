// Seeded randomized inputs for the stream parser, message dispatch, message texts
// and EEG block decoding: nothing may crash, read out of bounds (run under
// ASan/UBSan in CI) or let the receive buffer pass its bound, clean streams lose
// nothing, and every message that decodes can be written as JSON and debug text.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "../fuzz/fuzz_support.hpp"
#include "frame_test_support.hpp"
#include "log_capture.hpp"
#include "proto/msg_parser.hpp"

namespace {

using kx::proto::MsgParser;
using kx::proto::MsgType;
using kx::test::Bytes;

class FuzzTest : public testing::Test {
protected:
    std::size_t uniform(std::size_t lo, std::size_t hi) { return std::uniform_int_distribution<std::size_t>(lo, hi)(rng); }
    std::uint8_t byte() { return static_cast<std::uint8_t>(uniform(0, 255)); }
    Bytes random_bytes(std::size_t n) {
        Bytes out(n);
        for (auto& b : out) b = byte();
        return out;
    }

    // Every field set or not at random: unnamed enum numbers, any float bit
    // pattern, texts full of characters that the texts escape.
    void fill_random(google::protobuf::Message& m, int depth = 0) {
        using F = google::protobuf::FieldDescriptor;
        static const std::string kPieces[] = {"a", "\"", "\\", "\n", "\r\t", std::string(1, '\0'), "\x01", "\x7f", "/",
                                              "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\xE2\x80\x8B", "e\xCC\x81"};
        const auto& d = *m.GetDescriptor();
        const auto& r = *m.GetReflection();
        for (int i = 0; i < d.field_count(); ++i) {
            const F* f = d.field(i);
            if (uniform(0, 2) == 0) continue;
            switch (f->cpp_type()) {
                case F::CPPTYPE_UINT32: r.SetUInt32(&m, f, static_cast<std::uint32_t>(uniform(0, 1) ? uniform(0, 300) : rng())); break;
                case F::CPPTYPE_BOOL: r.SetBool(&m, f, uniform(0, 1)); break;
                case F::CPPTYPE_ENUM: {
                    const auto* e = f->enum_type();
                    r.SetEnumValue(&m, f, uniform(0, 5) ? e->value(static_cast<int>(uniform(0, e->value_count() - 1)))->number()
                                                        : static_cast<int>(rng()));
                    break;
                }
                case F::CPPTYPE_FLOAT:
                    r.SetFloat(&m, f, uniform(0, 1) ? std::bit_cast<float>(static_cast<std::uint32_t>(rng()))
                                                    : std::ldexp(1.0f, static_cast<int>(uniform(0, 90)) - 45));
                    break;
                case F::CPPTYPE_STRING: {
                    std::string s;
                    if (f->type() == F::TYPE_BYTES)
                        for (std::size_t k = uniform(0, 1) ? 108 : uniform(0, 12); k > 0; --k) s += static_cast<char>(byte());
                    else
                        for (std::size_t k = uniform(0, 8); k > 0; --k) s += kPieces[uniform(0, std::size(kPieces) - 1)];
                    r.SetString(&m, f, s);
                    break;
                }
                default:
                    if (depth < 5) fill_random(*r.MutableMessage(&m, f), depth + 1);
            }
        }
    }

    // One piece of a hostile stream for `type`.
    Bytes piece(MsgType type) {
        const auto d = kx::proto::dialect_of(type);
        const auto prefix = d.header_prefix();
        Bytes payload = type == MsgType::Orvel && uniform(0, 3) > 0
                            ? kx::test::serialized(kx::test::eeg_main_app(static_cast<std::uint32_t>(uniform(0, 1u << 20))))
                            : random_bytes(uniform(0, 300));
        Bytes frame = d.can_delimit_frames() ? kx::test::frame_of(type, static_cast<std::uint8_t>(uniform(0, 3)),
                                                                  static_cast<std::uint8_t>(uniform(0, 3)), payload)
                                             : Bytes(prefix.begin(), prefix.end());
        switch (uniform(0, 5)) {
            case 0: return frame;
            case 1: frame[uniform(0, frame.size() - 1)] ^= static_cast<std::uint8_t>(1u << uniform(0, 7)); return frame;
            case 2: frame.resize(uniform(0, frame.size())); return frame;
            case 3:  // a prefix, whole or cut short, and anything after it
                return kx::test::cat({Bytes(prefix.begin(), prefix.begin() + static_cast<long>(uniform(0, prefix.size()))),
                                      random_bytes(uniform(0, 40))});
            case 4: {  // a prefix with a length that cannot fit the buffer
                Bytes out(prefix.begin(), prefix.end());
                out.resize(std::max<std::size_t>(d.header_length, 8) + uniform(0, 16), 0xFF);
                return out;
            }
            default: return random_bytes(uniform(0, 1) ? uniform(0, 64) : uniform(0, 9000));
        }
    }

    std::mt19937_64 rng{0x6b785f70726f746fULL};
    kx::test::AcceptAll sink;  // formats every log argument
    kx::test::LogCaptureScope scope{sink};
};

// Hostile streams of every family, and clean Orvel streams, in chunks of any size:
// the buffer stays bounded, a frame in progress is incomplete between calls, only
// Orvel frames give messages, and a clean stream loses none.
TEST_F(FuzzTest, StreamsKeepTheParserBoundedAndLoseNoCleanFrame) {
    for (int round = 0; round < 60; ++round) {
        for (const auto& variant : kx::proto::kMsgTypeVariants) {
            const auto type = MsgType(variant.code);
            const bool clean = type == MsgType::Orvel && round % 2 == 1;
            MsgParser parser("fuzz", type);
            auto rx = parser.sender().subscribe();
            Bytes stream;
            const std::size_t pieces = uniform(1, clean ? 100 : 40);
            for (std::size_t i = 0; i < pieces; ++i)
                stream = kx::test::cat({stream, clean ? kx::test::eeg_frame(static_cast<std::uint32_t>(i)) : piece(type)});
            std::size_t published = 0;
            for (std::size_t at = 0; at < stream.size();) {
                const std::size_t sizes[] = {uniform(1, 16), uniform(1, 600), 4096, uniform(1, clean ? 4096 : 9000)};
                const std::size_t n = std::min(sizes[uniform(0, 3)], stream.size() - at);
                parser.receive_data(std::span(stream).subspan(at, n));
                at += n;
                const auto& s = parser.scanner();
                ASSERT_LE(s.buffered().size(), kx::proto::BUFFER_MAX_SIZE);
                ASSERT_TRUE(s.expected_length() == 0 || s.expected_length() > s.buffered().size());
                const auto got = kx::test::drain(rx);
                for (const auto& m : got) EXPECT_EQ(kx::test::check_message_texts(m.message()), "");
                published += got.size();
            }
            ASSERT_EQ(published, clean ? pieces : type == MsgType::Orvel ? published : 0u);
            ASSERT_TRUE(!clean || parser.scanner().buffered().empty());
        }
    }
}

// Random messages of every direction, some of them damaged, and random bytes:
// each payload decodes as libprotobuf decodes it (unknown fields aside) or fails as
// a decoding error whose path names catalogue fields; what decodes is written, and
// so is a float of random bits in every layout.
TEST_F(FuzzTest, DispatchDecodesLikeLibprotobufAndFormats) {
    std::size_t decoded = 0;
    for (int round = 0; round < 30000; ++round) {
        const auto bits = static_cast<std::uint32_t>(rng());  // float texts alone, any bit pattern
        ASSERT_EQ(kx::test::check_float_texts(std::bit_cast<float>(bits)), "") << bits;
        const std::size_t direction = uniform(0, 3);
        const auto& dir = kx::test::kDirections[direction];
        const auto sent = kx::test::new_message(dir.message);
        Bytes payload;
        bool intact = false;  // the serialization of a message, undamaged
        if (uniform(0, 1)) {
            for (std::size_t i = uniform(0, 48); i > 0; --i) payload.push_back(uniform(0, 2) ? byte() : uniform(0, 0x2F));
        } else {
            fill_random(*sent);
            payload = kx::test::serialized(*sent);
            const std::size_t edits = uniform(0, 1) ? 0 : uniform(1, 4);
            intact = edits == 0;
            for (std::size_t k = edits; k > 0 && !payload.empty(); --k) {
                switch (uniform(0, 2)) {
                    case 0: payload[uniform(0, payload.size() - 1)] = byte(); break;
                    case 1: payload.resize(uniform(0, payload.size())); break;
                    default: payload.insert(payload.begin() + static_cast<long>(uniform(0, payload.size())), byte());
                }
            }
        }
        const auto result = kx::proto::eeg_cap::parse_message(dir.source, dir.destination, payload);
        if (const auto* e = std::get_if<kx::proto::ProtoError>(&result)) {
            const auto* failure = std::get_if<kx::proto::ProtoError::DecodingError>(&e->value);
            ASSERT_TRUE(failure && !intact) << kx::proto::debug_string(*e);
            for (const auto& [message, field] : failure->error.stack) {
                ASSERT_TRUE(kx::test::new_message(message)->GetDescriptor()->FindFieldByName(field)) << message << "." << field;
            }
            continue;
        }
        ++decoded;
        const auto& parsed = std::get<kx::proto::ParsedMessage>(result);
        ASSERT_EQ(parsed.orvel.value.index(), direction);
        const auto theirs = kx::test::new_message(dir.message);
        ASSERT_TRUE(theirs->ParseFromArray(payload.data(), static_cast<int>(payload.size()))) << round;
        theirs->DiscardUnknownFields();  // serialized bytes compare NaN floats as equal too
        ASSERT_EQ(parsed.orvel.message().SerializeAsString(), theirs->SerializeAsString()) << round;
        ASSERT_EQ(kx::test::check_message_texts(parsed), "") << round;
    }
    EXPECT_GT(decoded, 6000u);  // the success path is reached too
}

}  // namespace
