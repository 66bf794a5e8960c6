// A named, ordered set of 8-bit codes: the declaration order of an enum class
// as Python sees it, and the names its debug text uses.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kx::utils {

struct EnumVariant {
    std::string_view name;
    std::uint8_t code;
};

struct EnumTable {
    std::string_view class_name;
    std::span<const EnumVariant> variants;  // declaration order

    std::optional<std::string_view> name_of(std::uint8_t code) const {
        for (const auto& v : variants)
            if (v.code == code) return v.name;
        return std::nullopt;
    }
    bool has_code(std::uint8_t code) const { return name_of(code).has_value(); }
};

}  // namespace kx::utils
