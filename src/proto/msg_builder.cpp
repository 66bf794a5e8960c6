#include "proto/msg_builder.hpp"

#include "utils/byte_list.hpp"
#include "utils/log.hpp"

namespace kx::proto {

MsgBuilder::MsgBuilder(MsgType type) : dialect_(dialect_of(type)) {
    KX_DEBUG("kx_proto_sdk::proto::msg_builder",
             "BuilderType: {}, Project ID: 0x{:x}, Header version: {}, header_prefix: {}", msg_type_name(type),
             dialect_.project_id, dialect_.header_version, utils::ByteList{dialect_.header_prefix()});
}

std::vector<std::uint8_t> MsgBuilder::build_frame(ModuleIds modules, std::span<const std::uint8_t> payload) const {
    return encode_frame(dialect_, modules, extra_header_byte_, payload);
}

}  // namespace kx::proto
