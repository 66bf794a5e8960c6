// Process-wide log facade: every subsystem writes records through it; one sink
// (the Python logging bridge in the module) receives them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include <fmt/format.h>

#include "utils/log_positions.hpp"

namespace kx::log {

// Ordered from "everything off" to most verbose; a record passes a filter
// when its level is not above the filter.
enum class Level : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

struct Record {
    Level level;
    std::string_view target;  // module path, e.g. "kx_proto_sdk::proto::msg_parser"
    std::string_view message;
    const char* file;  // may be null
    std::uint32_t line;
};

class Sink {
public:
    virtual ~Sink() = default;
    // Must be cheap and callable from any thread without the interpreter lock.
    virtual bool enabled(Level level, std::string_view target) const = 0;
    virtual void log(const Record& record) = 0;
};

// Installs the one sink of the process (never removed). False if one is installed already.
bool set_sink(Sink* sink);
// Removes the sink; for C++ tests only.
void reset_sink_for_tests();

void set_max_level(Level level);
Level max_level();

bool enabled(Level level, std::string_view target);
void write(Level level, std::string_view target, const char* file, std::uint32_t line,
           std::string_view message);

}  // namespace kx::log

// Arguments are formatted only when the record would be delivered.
#define KX_LOG_AT(level, target, file, line, ...)                                          \
    do {                                                                                   \
        if (::kx::log::enabled((level), (target))) {                                       \
            ::kx::log::write((level), (target), (file), (line), ::fmt::format(__VA_ARGS__)); \
        }                                                                                  \
    } while (0)

// At a position of the fixed table (log_positions.hpp), not of the call.
#define KX_LOG_FIXED(level, target, position, ...) \
    KX_LOG_AT(level, target, (position).file, (position).line, __VA_ARGS__)

#define KX_LOG(level, target, ...) KX_LOG_AT(level, target, __FILE__, __LINE__, __VA_ARGS__)
#define KX_ERROR(target, ...) KX_LOG(::kx::log::Level::Error, target, __VA_ARGS__)
#define KX_WARN(target, ...) KX_LOG(::kx::log::Level::Warn, target, __VA_ARGS__)
#define KX_INFO(target, ...) KX_LOG(::kx::log::Level::Info, target, __VA_ARGS__)
#define KX_DEBUG(target, ...) KX_LOG(::kx::log::Level::Debug, target, __VA_ARGS__)
#define KX_TRACE(target, ...) KX_LOG(::kx::log::Level::Trace, target, __VA_ARGS__)
