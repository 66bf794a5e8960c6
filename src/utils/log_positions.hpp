// Fixed source positions of the log records whose file and line Python must see.
//
// Most records carry the __FILE__ and __LINE__ of their call, which move with
// every edit. The records below carry these positions instead, because their
// file and line are part of what the module shows Python: the bridge hands them
// over as LogRecord.pathname and .lineno, programs may filter or count records
// by them, and the tests pin them. They name the unit that owns the record, as
// a path without extension and a line that does not follow this tree's code
// (the raw stream's record, written in py_tcp_stream.cpp, says py_tcp_client;
// the version record says line 22): they never move, whatever moves around the
// call. Add an entry only for a record whose position must stay put; write the
// record with KX_LOG_FIXED (log.hpp).
#pragma once

#include <cstdint>

namespace kx::log {

struct FixedPosition {
    const char* file;
    std::uint32_t line;
};

namespace fixed {

// Module frame (target kx_proto_sdk::python::py_mod).
inline constexpr FixedPosition kModuleVersion{"src/python/py_mod", 22};
inline constexpr FixedPosition kRegisteringEegCap{"src/python/py_mod", 47};
inline constexpr FixedPosition kGetBytes{"src/python/py_mod", 85};

// Device link.
inline constexpr FixedPosition kSendingMessage{"src/utils/tcp_client", 132};
inline constexpr FixedPosition kStreamReceivedData{"src/python/py_tcp_client", 180};

// Discovery (target kx_proto_sdk::utils::mdns).
inline constexpr FixedPosition kMdnsResolved{"src/utils/mdns", 34};
inline constexpr FixedPosition kMdnsResolvedAddress{"src/utils/mdns", 42};
inline constexpr FixedPosition kMdnsSearchStopped{"src/utils/mdns", 52};
inline constexpr FixedPosition kMdnsEvent{"src/utils/mdns", 55};
inline constexpr FixedPosition kMdnsStopBrowseFailed{"src/utils/mdns", 70};
inline constexpr FixedPosition kMdnsShutdownFailed{"src/utils/mdns", 73};

// Message protocol.
inline constexpr FixedPosition kEegLengthNotTriples{"src/proto/eeg_cap/msg_builder", 41};
inline constexpr FixedPosition kEegLengthNotBlock{"src/proto/eeg_cap/msg_builder", 46};
inline constexpr FixedPosition kParseMessage{"src/proto/eeg_cap/msg_builder", 104};
inline constexpr FixedPosition kDecodingError{"src/proto/enums", 115};

}  // namespace fixed
}  // namespace kx::log
