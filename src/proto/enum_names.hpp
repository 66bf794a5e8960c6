// Names of catalogue enum values. Every value is declared as
// "<EnumName>_<TEXT_NAME>": the JSON text name is the part after the prefix,
// the debug name its upper camel case ("SR_16000Hz" -> "Sr16000hz",
// "_INVALID_PARAMS" -> "InvalidParams").
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace google::protobuf {
class EnumDescriptor;
}

namespace kx::proto {

// Text name of a non-zero named value; nullopt for 0 (never written) and for
// numbers the enum does not name.
std::optional<std::string_view> enum_text_name(const google::protobuf::EnumDescriptor& e, int number);

// Appends the debug name of a named value (0 included), or the number in decimal.
void append_enum_debug_name(std::string& out, const google::protobuf::EnumDescriptor& e, int number);

}  // namespace kx::proto
