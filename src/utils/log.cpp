#include "utils/log.hpp"

#include "utils/inline_resumption.hpp"

namespace kx::log {
namespace {
std::atomic<Sink*> g_sink{nullptr};
std::atomic<Level> g_max_level{Level::Off};
}  // namespace

bool set_sink(Sink* sink) {
    Sink* expected = nullptr;
    return g_sink.compare_exchange_strong(expected, sink, std::memory_order_acq_rel);
}

void reset_sink_for_tests() { g_sink.store(nullptr, std::memory_order_release); }

void set_max_level(Level level) { g_max_level.store(level, std::memory_order_relaxed); }

Level max_level() { return g_max_level.load(std::memory_order_relaxed); }

bool enabled(Level level, std::string_view target) {
    if (level == Level::Off || level > g_max_level.load(std::memory_order_relaxed)) return false;
    Sink* sink = g_sink.load(std::memory_order_acquire);
    return sink != nullptr && sink->enabled(level, target);
}

void write(Level level, std::string_view target, const char* file, std::uint32_t line,
           std::string_view message) {
    if (level == Level::Off || level > g_max_level.load(std::memory_order_relaxed)) return;
    Sink* sink = g_sink.load(std::memory_order_acquire);
    if (sink == nullptr) return;
    // The sink may take the interpreter lock (the Python logging bridge does).
    utils::check_may_wait_for_python("a log record was written", file, line);
    sink->log(Record{level, target, message, file, line});
}

}  // namespace kx::log
