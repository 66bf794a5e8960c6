#include "proto/proto_error.hpp"

#include <iterator>

namespace kx::proto {
namespace {

struct DebugWriter {
    std::string& out;

    // `Name(Family, field, ...)` with the numbers in decimal.
    template <class... Fields>
    void tuple(const char* variant, MsgType type, Fields... fields) {
        fmt::format_to(std::back_inserter(out), "{}({}", variant, msg_type_name(type));
        ((fmt::format_to(std::back_inserter(out), ", {}", fields)), ...);
        out += ')';
    }
    void operator()(const ProtoError::UnknownProtoType& e) { tuple("UnknownProtoType", e.parser_type); }
    void operator()(const ProtoError::UnsupportedHeaderVersion& e) {
        tuple("UnsupportedHeaderVersion", e.parser_type, e.header_version);
    }
    void operator()(const ProtoError::UnsupportedPayloadVersion& e) {
        tuple("UnsupportedPayloadVersion", e.parser_type, e.version);
    }
    void operator()(const ProtoError::InvalidSourceModule& e) { tuple("InvalidSourceModule", e.parser_type, e.source); }
    void operator()(const ProtoError::InvalidDestinationModule& e) {
        tuple("InvalidDestinationModule", e.parser_type, e.destination);
    }
    void operator()(const ProtoError::InvalidModule& e) {
        tuple("InvalidModule", e.parser_type, e.source, e.destination);
    }
    void operator()(const ProtoError::DecodingError& e) {
        out += "DecodingError(";
        append_debug(out, e.error);
        out += ')';
    }
    void operator()(const ProtoError::JsonError& e) {
        out += "JsonError(";
        append_debug(out, e.error);
        out += ')';
    }
};

}  // namespace

void append_debug(std::string& out, const ProtoError& error) { std::visit(DebugWriter{out}, error.value); }

}  // namespace kx::proto
