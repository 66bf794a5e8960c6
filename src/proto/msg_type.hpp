// Device families: each selects a frame dialect.
#pragma once

#include <array>
#include <cstdint>

#include "utils/enum_table.hpp"

namespace kx::proto {

enum class MsgType : std::uint8_t {
    Varnet = 0, Pelvor = 1, Dornal = 2, Strenn = 3, StrennV1_5 = 4, Quibbet = 5,
    QuibbetV2 = 6, Kessa = 7, VOK = 8, Tindle = 9, Merrow = 10, Orvel = 11,
    Pim = 12, Lusk = 13, Brannel = 15, Zeph = 16,
};

inline constexpr std::array<utils::EnumVariant, 16> kMsgTypeVariants{{
    {"Varnet", 0}, {"Pelvor", 1}, {"Strenn", 3}, {"StrennV1_5", 4}, {"Quibbet", 5},
    {"QuibbetV2", 6}, {"Dornal", 2}, {"Kessa", 7}, {"VOK", 8}, {"Tindle", 9},
    {"Merrow", 10}, {"Orvel", 11}, {"Pim", 12}, {"Lusk", 13}, {"Brannel", 15}, {"Zeph", 16},
}};
inline constexpr utils::EnumTable kMsgTypeTable{"MsgType", kMsgTypeVariants};

// Variant name, as debug text shows it (e.g. "Orvel").
inline std::string_view msg_type_name(MsgType t) {
    return kMsgTypeTable.name_of(static_cast<std::uint8_t>(t)).value_or("?");
}

}  // namespace kx::proto
