// Seeded randomized inputs for the stream parser, message dispatch and EEG block
// decoding: nothing may crash, read out of bounds (run under ASan/UBSan in CI) or
// let the receive buffer pass its bound, and clean streams lose nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

#include "frame_test_support.hpp"
#include "proto/eeg_cap/msg_builder.hpp"
#include "proto/msg_parser.hpp"
#include "utils/log.hpp"

namespace {

using kx::proto::MsgParser;
using kx::proto::MsgType;
using kx::test::Bytes;

// Accepts every record so that every log argument is formatted; stores nothing.
class CountingSink : public kx::log::Sink {
public:
    bool enabled(kx::log::Level, std::string_view) const override { return true; }
    void log(const kx::log::Record& r) override { bytes += r.message.size(); }
    std::size_t bytes = 0;
};

class FuzzTest : public testing::Test {
protected:
    void SetUp() override {
        kx::log::reset_sink_for_tests();
        ASSERT_TRUE(kx::log::set_sink(&sink));
        kx::log::set_max_level(kx::log::Level::Trace);
    }
    void TearDown() override {
        kx::log::reset_sink_for_tests();
        kx::log::set_max_level(kx::log::Level::Off);
    }
    static int iterations(int fallback) {
        const char* env = std::getenv("KX_FUZZ_ITERATIONS");
        return env ? std::atoi(env) : fallback;
    }

    std::size_t uniform(std::size_t lo, std::size_t hi) { return std::uniform_int_distribution<std::size_t>(lo, hi)(rng); }
    std::uint8_t byte() { return static_cast<std::uint8_t>(uniform(0, 255)); }
    Bytes random_bytes(std::size_t n) {
        Bytes out(n);
        for (auto& b : out) b = byte();
        return out;
    }

    Bytes valid_payload(MsgType type) {
        if (type != MsgType::Orvel || uniform(0, 3) == 0) return random_bytes(uniform(0, 300));
        return kx::test::serialized(kx::test::eeg_main_app(static_cast<std::uint32_t>(uniform(0, 1u << 20))));
    }

    // One piece of a hostile stream for `type`.
    Bytes piece(MsgType type) {
        const auto d = kx::proto::dialect_of(type);
        const auto prefix = d.header_prefix();
        Bytes frame = d.can_delimit_frames()
                          ? kx::test::frame_of(type, static_cast<std::uint8_t>(uniform(0, 3)),
                                               static_cast<std::uint8_t>(uniform(0, 3)), valid_payload(type))
                          : Bytes(prefix.begin(), prefix.end());
        switch (uniform(0, 7)) {
            case 0: return frame;
            case 1: frame[uniform(0, frame.size() - 1)] ^= static_cast<std::uint8_t>(1u << uniform(0, 7)); return frame;
            case 2: frame.resize(uniform(0, frame.size())); return frame;
            case 3: return random_bytes(uniform(0, 64));
            case 4: return kx::test::cat({Bytes(prefix.begin(), prefix.end()), random_bytes(uniform(0, 40))});
            case 5: {  // a prefix with a length that cannot fit the buffer
                Bytes out(prefix.begin(), prefix.end());
                out.resize(std::max<std::size_t>(d.header_length, 8) + uniform(0, 16), 0xFF);
                return out;
            }
            case 6: return Bytes(prefix.begin(), prefix.begin() + static_cast<long>(uniform(0, prefix.size())));
            default: return random_bytes(uniform(0, 9000));
        }
    }

    std::size_t chunk_size() {
        switch (uniform(0, 3)) {
            case 0: return uniform(1, 16);
            case 1: return uniform(1, 600);
            case 2: return 4096;
            default: return uniform(1, 9000);
        }
    }

    static std::size_t drain(kx::proto::MessageReceiver& rx) {
        std::size_t n = 0;
        for (;;) {
            auto r = rx.try_recv();
            if (r.status == kx::utils::RecvStatus::Lagged) continue;
            if (!r.has_item()) return n;
            ++n;
        }
    }

    std::mt19937_64 rng{0x6b785f70726f746fULL};
    CountingSink sink;
};

constexpr MsgType kAllTypes[] = {MsgType::Varnet, MsgType::Pelvor,  MsgType::Dornal, MsgType::Strenn,
                                 MsgType::StrennV1_5, MsgType::Quibbet, MsgType::QuibbetV2, MsgType::Kessa,
                                 MsgType::VOK,    MsgType::Tindle,  MsgType::Merrow, MsgType::Orvel,
                                 MsgType::Pim,    MsgType::Lusk,    MsgType::Brannel, MsgType::Zeph};

TEST_F(FuzzTest, HostileStreamsKeepParserBounded) {
    const int rounds = iterations(60);
    for (int round = 0; round < rounds; ++round) {
        for (MsgType type : kAllTypes) {
            MsgParser parser("fuzz", type);
            auto rx = parser.sender().subscribe();
            Bytes stream;
            for (int i = 0, n = static_cast<int>(uniform(1, 40)); i < n; ++i) {
                const Bytes p = piece(type);
                stream.insert(stream.end(), p.begin(), p.end());
            }
            for (std::size_t at = 0; at < stream.size();) {
                const std::size_t n = std::min(chunk_size(), stream.size() - at);
                parser.receive_data(std::span(stream).subspan(at, n));
                at += n;
                const auto& s = parser.scanner();
                ASSERT_LE(s.buffered().size(), kx::proto::BUFFER_MAX_SIZE);
                // Between calls a frame in progress is always incomplete.
                ASSERT_TRUE(s.expected_length() == 0 || s.expected_length() > s.buffered().size());
            }
            const std::size_t published = drain(rx);
            if (type != MsgType::Orvel) ASSERT_EQ(published, 0u);
        }
    }
}

TEST_F(FuzzTest, CleanChunkedStreamsLoseNoFrame) {
    const int rounds = iterations(60) / 2;
    for (int round = 0; round < rounds; ++round) {
        MsgParser parser("clean", MsgType::Orvel);
        auto rx = parser.sender().subscribe();
        Bytes stream;
        const std::size_t frames = uniform(1, 100);
        for (std::size_t i = 0; i < frames; ++i) {
            const Bytes f = kx::test::eeg_frame(static_cast<std::uint32_t>(i));
            stream.insert(stream.end(), f.begin(), f.end());
        }
        std::size_t received = 0;
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = std::min(uniform(1, 4096), stream.size() - at);
            parser.receive_data(std::span(stream).subspan(at, n));
            at += n;
            received += drain(rx);
        }
        ASSERT_EQ(received, frames);
        ASSERT_TRUE(parser.scanner().buffered().empty());
    }
}

TEST_F(FuzzTest, DispatchDecodesOrRejectsAnyPayload) {
    const int rounds = iterations(60) * 100;
    const std::pair<std::uint8_t, std::uint8_t> pairs[] = {{2, 1}, {2, 0}, {1, 2}, {0, 2}};
    for (int round = 0; round < rounds; ++round) {
        Bytes payload = uniform(0, 1) ? kx::test::serialized(kx::test::eeg_main_app(static_cast<std::uint32_t>(round)))
                                      : random_bytes(uniform(0, 200));
        for (std::size_t k = 0, edits = uniform(0, 4); k < edits && !payload.empty(); ++k) {
            switch (uniform(0, 2)) {
                case 0: payload[uniform(0, payload.size() - 1)] = byte(); break;
                case 1: payload.resize(uniform(0, payload.size())); break;
                default: payload.insert(payload.begin() + static_cast<long>(uniform(0, payload.size())), byte());
            }
        }
        const auto [s, d] = pairs[uniform(0, 3)];
        const auto result = kx::proto::eeg_cap::parse_message(s, d, payload);
        if (const auto* e = std::get_if<kx::proto::ProtoError>(&result))
            ASSERT_TRUE(std::holds_alternative<kx::proto::ProtoError::DecodingError>(e->value));
    }
}

TEST_F(FuzzTest, EegBlocksDecodeWithinRange) {
    const int rounds = iterations(60) * 50;
    for (int round = 0; round < rounds; ++round) {
        const std::size_t length = uniform(0, 3) == 0 ? uniform(0, 300) : 108;
        const Bytes block = random_bytes(length);
        const auto gain = static_cast<std::uint32_t>(uniform(0, 3) ? uniform(0, 127) : rng());
        const auto values = kx::proto::eeg_cap::decode_eeg_block(block, gain);
        if (length != 108) {
            ASSERT_TRUE(values.empty());
            continue;
        }
        ASSERT_EQ(values.size(), 32u);
        for (float v : values) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= 4500000.0f) << v;
    }
}

}  // namespace
