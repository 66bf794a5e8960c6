// libFuzzer target: each input is decoded as the payload of every direction and
// every message that decodes is written as JSON and debug text (its EEG blocks
// decoded too); the input is also one EEG block, and each 4 bytes of it a float
// written in both layouts. Every log record is formatted.
#include <cstdio>
#include <cstdlib>

#include "fuzz_support.hpp"

namespace {

void require(const std::string& failure) {
    if (failure.empty()) return;
    std::fprintf(stderr, "%s\n", failure.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static kx::test::AcceptAll sink;
    static const bool installed = (kx::log::set_sink(&sink), kx::log::set_max_level(kx::log::Level::Trace), true);
    (void)installed;
    const std::span<const std::uint8_t> input(data, size);
    for (auto [s, d] : {std::pair{2, 1}, {2, 0}, {1, 2}, {0, 2}}) {
        const auto r = kx::proto::eeg_cap::parse_message(static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(d), input);
        if (const auto* parsed = std::get_if<kx::proto::ParsedMessage>(&r)) require(kx::test::check_message_texts(*parsed));
        else (void)kx::proto::debug_string(std::get<kx::proto::ProtoError>(r));
    }
    (void)kx::proto::eeg_cap::decode_eeg_block(input, size > 0 ? data[0] : 0);
    for (std::size_t at = 0; at + 4 <= size && at < 64; at += 4) {
        float value;
        std::memcpy(&value, data + at, 4);
        require(kx::test::check_float_texts(value));
    }
    return 0;
}
