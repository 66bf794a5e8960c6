// libFuzzer target: one MessageParser per input, fed the input in chunks.
// Byte 0 picks the device family; byte 1 seeds the chunk sizes; the rest is the
// stream. Every log record is formatted (a sink that accepts all is installed).
#include <cstdlib>

#include "fuzz_support.hpp"
#include "proto/msg_parser.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static kx::test::AcceptAll sink;
    static const bool installed = (kx::log::set_sink(&sink), kx::log::set_max_level(kx::log::Level::Trace), true);
    (void)installed;
    if (size < 2) return 0;
    // Families other than Orvel are picked rarely: Orvel frames reach the decoder.
    const auto& variants = kx::proto::kMsgTypeVariants;
    const auto type = data[0] < 128 ? kx::proto::MsgType::Orvel : kx::proto::MsgType(variants[data[0] % variants.size()].code);
    std::uint32_t state = data[1] | 1u;
    const std::span<const std::uint8_t> stream(data + 2, size - 2);

    kx::proto::MsgParser parser("fuzz", type);
    auto rx = parser.sender().subscribe();
    for (std::size_t at = 0; at < stream.size();) {
        state = state * 1103515245u + 12345u;
        const std::size_t n = std::min<std::size_t>(1 + (state >> 16) % 700, stream.size() - at);
        parser.receive_data(stream.subspan(at, n));
        at += n;
        if (parser.scanner().buffered().size() > kx::proto::BUFFER_MAX_SIZE) std::abort();
        for (auto r = rx.try_recv(); r.has_item(); r = rx.try_recv())
            if (!kx::test::check_message_texts(r.item->message()).empty()) std::abort();
    }
    return 0;
}
