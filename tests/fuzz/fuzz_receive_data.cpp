// libFuzzer target: one MessageParser per input, fed the input in chunks.
// Byte 0 picks the device family; byte 1 seeds the chunk sizes; the rest is the
// stream. Every log record is formatted (a sink that accepts all is installed).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "proto/eeg_cap/msg_builder.hpp"
#include "proto/msg_parser.hpp"
#include "utils/log.hpp"

namespace {

class AcceptAll : public kx::log::Sink {
public:
    bool enabled(kx::log::Level, std::string_view) const override { return true; }
    void log(const kx::log::Record&) override {}
};

constexpr kx::proto::MsgType kTypes[] = {
    kx::proto::MsgType::Varnet, kx::proto::MsgType::Pelvor, kx::proto::MsgType::Dornal,
    kx::proto::MsgType::Strenn, kx::proto::MsgType::StrennV1_5, kx::proto::MsgType::Quibbet,
    kx::proto::MsgType::QuibbetV2, kx::proto::MsgType::Kessa, kx::proto::MsgType::VOK,
    kx::proto::MsgType::Tindle, kx::proto::MsgType::Merrow, kx::proto::MsgType::Orvel,
    kx::proto::MsgType::Pim, kx::proto::MsgType::Lusk, kx::proto::MsgType::Brannel,
    kx::proto::MsgType::Zeph};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static AcceptAll sink;
    static const bool installed = [] {
        kx::log::set_sink(&sink);
        kx::log::set_max_level(kx::log::Level::Trace);
        return true;
    }();
    (void)installed;
    if (size < 2) return 0;
    // Families other than Orvel are picked rarely: Orvel frames reach the decoder.
    const auto type = data[0] < 128 ? kx::proto::MsgType::Orvel : kTypes[data[0] % std::size(kTypes)];
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
        while (rx.try_recv().has_item()) {
        }
    }
    // The same bytes as one payload of each direction, and as an EEG block.
    for (auto [s, d] : {std::pair{2, 1}, {2, 0}, {1, 2}, {0, 2}})
        (void)kx::proto::eeg_cap::parse_message(static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(d), stream);
    (void)kx::proto::eeg_cap::decode_eeg_block(stream, state);
    return 0;
}
