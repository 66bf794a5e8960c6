#include "proto/debug_text.hpp"

#include <stdexcept>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "proto/enum_names.hpp"
#include "utils/byte_list.hpp"
#include "utils/float_text.hpp"
#include "utils/unicode.hpp"

namespace kx::proto {
namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

void write_message(std::string& out, const Message& msg) {
    const auto& desc = *msg.GetDescriptor();
    const auto& refl = *msg.GetReflection();
    out += desc.name();
    out += " { ";
    for (int i = 0; i < desc.field_count(); ++i) {
        const FieldDescriptor& f = *desc.field(i);
        if (i > 0) out += ", ";
        out += f.name();
        out += ": ";
        switch (f.cpp_type()) {
            case FieldDescriptor::CPPTYPE_UINT32:
                fmt::format_to(std::back_inserter(out), "{}", refl.GetUInt32(msg, &f));
                break;
            case FieldDescriptor::CPPTYPE_ENUM:
                append_enum_debug_name(out, *f.enum_type(), refl.GetEnumValue(msg, &f));
                break;
            case FieldDescriptor::CPPTYPE_BOOL:
                out += refl.GetBool(msg, &f) ? "true" : "false";
                break;
            case FieldDescriptor::CPPTYPE_FLOAT:
                utils::append_debug_float(out, refl.GetFloat(msg, &f));
                break;
            case FieldDescriptor::CPPTYPE_STRING: {
                std::string scratch;
                const std::string& v = refl.GetStringReference(msg, &f, &scratch);
                if (f.type() == FieldDescriptor::TYPE_BYTES)
                    utils::append_byte_list(out, v);
                else
                    append_debug_quoted(out, v);
                break;
            }
            case FieldDescriptor::CPPTYPE_MESSAGE:
                if (refl.HasField(msg, &f)) {
                    out += "Some(";
                    write_message(out, refl.GetMessage(msg, &f));
                    out += ')';
                } else {
                    out += "None";
                }
                break;
            default:
                throw std::logic_error("debug text: field kind outside the message catalogue");
        }
    }
    out += " }";
}

}  // namespace

void append_debug(std::string& out, const Message& message) { write_message(out, message); }

void append_debug(std::string& out, const OrvelMessage& message) {
    out += message.direction_name();
    out += '(';
    write_message(out, message.message());
    out += ')';
}

void append_debug(std::string& out, const ParsedMessage& message) {
    out += ParsedMessage::kFamilyName;
    out += '(';
    append_debug(out, message.orvel);
    out += ')';
}

void append_debug_quoted(std::string& out, std::string_view text) {
    out += '"';
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        const auto cp = utils::next_code_point(text, pos);
        if (!cp) {
            out += "\uFFFD";  // text that is not UTF-8 shows as replacement characters
            continue;
        }
        switch (*cp) {
            case U'"': out += "\\\""; break;
            case U'\\': out += "\\\\"; break;
            case U'\n': out += "\\n"; break;
            case U'\r': out += "\\r"; break;
            case U'\t': out += "\\t"; break;
            case U'\0': out += "\\0"; break;
            default:
                if (utils::is_printable(*cp))
                    out.append(text.substr(start, pos - start));
                else
                    fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<std::uint32_t>(*cp));
        }
    }
    out += '"';
}

}  // namespace kx::proto
