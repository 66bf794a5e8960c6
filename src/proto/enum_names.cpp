#include "proto/enum_names.hpp"

#include <cctype>

#include <fmt/format.h>
#include <google/protobuf/descriptor.h>

namespace kx::proto {
namespace {

// The value's name without its "<EnumName>_" prefix; nullopt if unnamed.
std::optional<std::string_view> bare_name(const google::protobuf::EnumDescriptor& e, int number) {
    const auto* value = e.FindValueByNumber(number);
    if (value == nullptr) return std::nullopt;
    std::string_view name = value->name();
    const std::string& prefix = e.name();
    if (name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix && name[prefix.size()] == '_')
        name.remove_prefix(prefix.size() + 1);
    return name;
}

}  // namespace

std::optional<std::string_view> enum_text_name(const google::protobuf::EnumDescriptor& e, int number) {
    if (number == 0) return std::nullopt;
    return bare_name(e, number);
}

void append_enum_debug_name(std::string& out, const google::protobuf::EnumDescriptor& e, int number) {
    const auto name = bare_name(e, number);
    if (!name) {
        fmt::format_to(std::back_inserter(out), "{}", number);
        return;
    }
    // Upper camel case by words: "SR_16000Hz" -> "Sr16000hz", "_ERROR" -> "Error".
    bool word_start = true;
    for (char c : *name) {
        if (c == '_') {
            word_start = true;
            continue;
        }
        const auto u = static_cast<unsigned char>(c);
        out += static_cast<char>(word_start ? std::toupper(u) : std::tolower(u));
        word_start = false;
    }
}

}  // namespace kx::proto
