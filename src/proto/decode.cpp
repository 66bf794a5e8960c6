#include "proto/decode.hpp"

#include <array>
#include <bit>
#include <string_view>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "proto/debug_text.hpp"
#include "utils/unicode.hpp"

namespace kx::proto {
namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

enum class WireType : std::uint8_t {
    Varint = 0,
    SixtyFourBit = 1,
    LengthDelimited = 2,
    StartGroup = 3,
    EndGroup = 4,
    ThirtyTwoBit = 5,
};

constexpr std::array<std::string_view, 6> kWireTypeNames{
    "Varint", "SixtyFourBit", "LengthDelimited", "StartGroup", "EndGroup", "ThirtyTwoBit"};

std::string_view wire_type_name(WireType w) { return kWireTypeNames[static_cast<std::size_t>(w)]; }

WireType wire_type_of(const FieldDescriptor& field) {
    switch (field.type()) {
        case FieldDescriptor::TYPE_FLOAT:
        case FieldDescriptor::TYPE_FIXED32:
        case FieldDescriptor::TYPE_SFIXED32:
            return WireType::ThirtyTwoBit;
        case FieldDescriptor::TYPE_DOUBLE:
        case FieldDescriptor::TYPE_FIXED64:
        case FieldDescriptor::TYPE_SFIXED64:
            return WireType::SixtyFourBit;
        case FieldDescriptor::TYPE_STRING:
        case FieldDescriptor::TYPE_BYTES:
        case FieldDescriptor::TYPE_MESSAGE:
            return WireType::LengthDelimited;
        case FieldDescriptor::TYPE_GROUP:
            return WireType::StartGroup;
        default:
            return WireType::Varint;
    }
}

struct Key {
    std::uint32_t tag;
    WireType wire_type;
};

// Reads fields from one payload. Every length check is against the end of
// the whole payload; a sub-message checks its own end after each field.
class Decoder {
public:
    explicit Decoder(std::span<const std::uint8_t> payload) : data_(payload) {}

    bool top_level(Message& msg) {
        while (pos_ < data_.size()) {
            Key key;
            if (!read_key(key) || !merge_field(msg, key, kDecodeRecursionLimit)) return false;
        }
        return true;
    }

    DecodeError take_error() { return std::move(error_); }

private:
    std::size_t remaining() const { return data_.size() - pos_; }

    bool fail(std::string description) {
        error_.description = std::move(description);
        return false;
    }

    bool read_varint(std::uint64_t& value) {
        value = 0;
        for (int i = 0; i < 10; ++i) {
            if (pos_ >= data_.size()) return fail("invalid varint");
            const std::uint8_t b = data_[pos_++];
            value |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
            if (b < 0x80) {
                // The tenth byte may hold only the 64th bit.
                if (i == 9 && b >= 0x02) return fail("invalid varint");
                return true;
            }
        }
        return fail("invalid varint");
    }

    bool read_key(Key& key) {
        std::uint64_t raw;
        if (!read_varint(raw)) return false;
        if (raw > 0xFFFFFFFFull) return fail(fmt::format("invalid key value: {}", raw));
        const auto wire = static_cast<std::uint32_t>(raw & 0x07);
        if (wire > 5) return fail(fmt::format("invalid wire type value: {}", wire));
        key.wire_type = static_cast<WireType>(wire);
        key.tag = static_cast<std::uint32_t>(raw) >> 3;
        if (key.tag == 0) return fail("invalid tag value: 0");
        return true;
    }

    bool read_length_delimited(std::string_view& bytes) {
        std::uint64_t len;
        if (!read_varint(len)) return false;
        if (len > remaining()) return fail("buffer underflow");
        bytes = {reinterpret_cast<const char*>(data_.data() + pos_), static_cast<std::size_t>(len)};
        pos_ += static_cast<std::size_t>(len);
        return true;
    }

    // A known field: its error gets (message, field) appended to the path.
    bool merge_field(Message& msg, const Key& key, int budget) {
        const Descriptor& desc = *msg.GetDescriptor();
        const FieldDescriptor* field = desc.FindFieldByNumber(static_cast<int>(key.tag));
        if (field == nullptr) return skip_field(key, budget);
        if (read_value(msg, *field, key.wire_type, budget)) return true;
        error_.stack.emplace_back(desc.name(), field->name());
        return false;
    }

    bool read_value(Message& msg, const FieldDescriptor& field, WireType wire, int budget) {
        const auto* refl = msg.GetReflection();
        const WireType expected = wire_type_of(field);
        if (field.type() == FieldDescriptor::TYPE_MESSAGE) refl->MutableMessage(&msg, &field);
        if (wire != expected)
            return fail(fmt::format("invalid wire type: {} (expected {})", wire_type_name(wire),
                                    wire_type_name(expected)));
        std::uint64_t v;
        std::string_view bytes;
        switch (field.type()) {
            case FieldDescriptor::TYPE_UINT32:
                if (!read_varint(v)) return false;
                refl->SetUInt32(&msg, &field, static_cast<std::uint32_t>(v));
                return true;
            case FieldDescriptor::TYPE_ENUM:
                if (!read_varint(v)) return false;
                // Unnamed numbers are kept as they came.
                refl->SetEnumValue(&msg, &field, static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
                return true;
            case FieldDescriptor::TYPE_BOOL:
                if (!read_varint(v)) return false;
                refl->SetBool(&msg, &field, v != 0);
                return true;
            case FieldDescriptor::TYPE_FLOAT: {
                if (remaining() < 4) return fail("buffer underflow");
                std::uint32_t bits = 0;
                for (int i = 0; i < 4; ++i) bits |= static_cast<std::uint32_t>(data_[pos_ + i]) << (8 * i);
                pos_ += 4;
                refl->SetFloat(&msg, &field, std::bit_cast<float>(bits));
                return true;
            }
            case FieldDescriptor::TYPE_STRING:
                if (!read_length_delimited(bytes)) return false;
                if (!utils::is_valid_utf8(bytes))
                    return fail("invalid string value: data is not UTF-8 encoded");
                refl->SetString(&msg, &field, std::string(bytes));
                return true;
            case FieldDescriptor::TYPE_BYTES:
                if (!read_length_delimited(bytes)) return false;
                refl->SetString(&msg, &field, std::string(bytes));
                return true;
            case FieldDescriptor::TYPE_MESSAGE:
                if (budget == 0) return fail("recursion limit reached");
                // A repeated sub-message merges into the one already present.
                return sub_message(*refl->MutableMessage(&msg, &field), budget - 1);
            default:
                // The catalogue holds no other kinds.
                return fail(fmt::format("unsupported field type {}", field.type_name()));
        }
    }

    bool sub_message(Message& msg, int budget) {
        std::uint64_t len;
        if (!read_varint(len)) return false;
        if (len > remaining()) return fail("buffer underflow");
        const std::size_t end = pos_ + static_cast<std::size_t>(len);
        while (pos_ < end) {
            Key key;
            if (!read_key(key) || !merge_field(msg, key, budget)) return false;
        }
        if (pos_ != end) return fail("delimited length exceeded");
        return true;
    }

    // Unknown fields are dropped; their errors get no path entry.
    bool skip_field(const Key& key, int budget) {
        if (budget == 0) return fail("recursion limit reached");
        std::uint64_t len = 0;
        switch (key.wire_type) {
            case WireType::Varint: {
                std::uint64_t ignored;
                if (!read_varint(ignored)) return false;
                break;
            }
            case WireType::ThirtyTwoBit:
                len = 4;
                break;
            case WireType::SixtyFourBit:
                len = 8;
                break;
            case WireType::LengthDelimited:
                if (!read_varint(len)) return false;
                break;
            case WireType::StartGroup:
                for (;;) {
                    Key inner;
                    if (!read_key(inner)) return false;
                    if (inner.wire_type == WireType::EndGroup) {
                        if (inner.tag != key.tag) return fail("unexpected end group tag");
                        break;
                    }
                    if (!skip_field(inner, budget - 1)) return false;
                }
                break;
            case WireType::EndGroup:
                return fail("unexpected end group tag");
        }
        if (len > remaining()) return fail("buffer underflow");
        pos_ += static_cast<std::size_t>(len);
        return true;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    DecodeError error_;
};

}  // namespace

void append_debug(std::string& out, const DecodeError& error) {
    out += "DecodeError { description: ";
    append_debug_quoted(out, error.description);
    out += ", stack: [";
    for (std::size_t i = 0; i < error.stack.size(); ++i) {
        if (i > 0) out += ", ";
        out += '(';
        append_debug_quoted(out, error.stack[i].first);
        out += ", ";
        append_debug_quoted(out, error.stack[i].second);
        out += ')';
    }
    out += "] }";
}

std::optional<DecodeError> decode_message(std::span<const std::uint8_t> payload, Message& out) {
    out.Clear();
    Decoder decoder(payload);
    if (decoder.top_level(out)) return std::nullopt;
    out.Clear();
    return decoder.take_error();
}

}  // namespace kx::proto
