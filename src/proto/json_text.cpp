#include "proto/json_text.hpp"

#include <stdexcept>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "proto/enum_names.hpp"
#include "proto/debug_text.hpp"
#include "utils/float_text.hpp"

namespace kx::proto {
namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

void append_uint(std::string& out, std::uint64_t v) { fmt::format_to(std::back_inserter(out), "{}", v); }

// Writes the object of `msg`; fields that hold their default are left out.
std::optional<JsonError> write_object(std::string& out, const Message& msg) {
    const auto& desc = *msg.GetDescriptor();
    const auto& refl = *msg.GetReflection();
    out += '{';
    bool first = true;
    auto key = [&](const FieldDescriptor& f) {
        if (!first) out += ',';
        first = false;
        append_json_string(out, f.json_name());
        out += ':';
    };
    for (int i = 0; i < desc.field_count(); ++i) {
        const FieldDescriptor& f = *desc.field(i);
        switch (f.cpp_type()) {
            case FieldDescriptor::CPPTYPE_UINT32: {
                const std::uint32_t v = refl.GetUInt32(msg, &f);
                if (v == 0) break;
                key(f);
                append_uint(out, v);
                break;
            }
            case FieldDescriptor::CPPTYPE_ENUM: {
                const int v = refl.GetEnumValue(msg, &f);
                if (v == 0) break;
                const auto name = enum_text_name(*f.enum_type(), v);
                if (!name) return JsonError{fmt::format("Invalid variant {}", v)};
                key(f);
                append_json_string(out, *name);
                break;
            }
            case FieldDescriptor::CPPTYPE_BOOL:
                if (!refl.GetBool(msg, &f)) break;
                key(f);
                out += "true";
                break;
            case FieldDescriptor::CPPTYPE_FLOAT: {
                const float v = refl.GetFloat(msg, &f);
                if (v == 0.0f) break;  // NaN compares unequal and is written
                key(f);
                utils::append_json_float(out, v);
                break;
            }
            case FieldDescriptor::CPPTYPE_STRING: {
                std::string scratch;
                const std::string& v = refl.GetStringReference(msg, &f, &scratch);
                if (v.empty()) break;
                key(f);
                if (f.type() == FieldDescriptor::TYPE_BYTES) {
                    out += '"';
                    append_base64(out, v);
                    out += '"';
                } else {
                    append_json_string(out, v);
                }
                break;
            }
            case FieldDescriptor::CPPTYPE_MESSAGE:
                if (!refl.HasField(msg, &f)) break;
                key(f);
                if (auto err = write_object(out, refl.GetMessage(msg, &f))) return err;
                break;
            default:
                throw std::logic_error("JSON text: field kind outside the message catalogue");
        }
    }
    out += '}';
    return std::nullopt;
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (u < 0x20) {
                    out += "\\u00";
                    out += kHex[u >> 4];
                    out += kHex[u & 0x0F];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

void append_base64(std::string& out, std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    auto at = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])); };
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
        out += kAlphabet[n >> 18];
        out += kAlphabet[(n >> 12) & 0x3F];
        out += kAlphabet[(n >> 6) & 0x3F];
        out += kAlphabet[n & 0x3F];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 0) return;
    const std::uint32_t n = at(i) << 16 | (rest == 2 ? at(i + 1) << 8 : 0);
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 0x3F];
    out += rest == 2 ? kAlphabet[(n >> 6) & 0x3F] : '=';
    out += '=';
}

std::optional<JsonError> append_json(std::string& out, const Message& message) {
    return write_object(out, message);
}

std::optional<JsonError> append_json(std::string& out, const ParsedMessage& message) {
    out += "{\"";
    out += ParsedMessage::kFamilyName;
    out += "\":{\"";
    out += message.orvel.direction_name();
    out += "\":";
    if (auto err = write_object(out, message.orvel.message())) return err;
    out += "}}";
    return std::nullopt;
}

void append_debug(std::string& out, const JsonError& error) {
    // Same shape as the JSON writer's own error value; there is no position.
    out += "Error(";
    append_debug_quoted(out, error.text);
    out += ", line: 0, column: 0)";
}

}  // namespace kx::proto
