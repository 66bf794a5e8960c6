#include "python/logging_bridge.hpp"

#include <Python.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "python/binding/errors.hpp"
#include "python/binding/ref.hpp"
#include "python/binding/state.hpp"
#include "utils/log.hpp"

namespace kx::py {
namespace {

using log::Level;

struct CacheEntry {
    PyObject* logger;  // owned for the life of the process
    Level filter;
};
struct TargetHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
// Keyed by the exact target; looked up without allocating.
using Cache = std::unordered_map<std::string, CacheEntry, TargetHash, std::equal_to<>>;

int python_level(Level level) {
    switch (level) {
        case Level::Error: return 40;
        case Level::Warn: return 30;
        case Level::Info: return 20;
        case Level::Debug: return 10;
        default: return 5;
    }
}

std::string logger_name(std::string_view target) {
    std::string name;
    name.reserve(target.size());
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] == ':' && i + 1 < target.size() && target[i + 1] == ':') {
            name += '.';
            ++i;
        } else {
            name += target[i];
        }
    }
    return name;
}

class PythonLoggingBridge final : public log::Sink {
public:
    explicit PythonLoggingBridge(PyObject* logging) : logging_(logging), cache_(std::make_shared<const Cache>()) {}

    bool enabled(Level level, std::string_view target) const override {
        if (level > kTopFilter) return false;
        const auto cache = cache_.load(std::memory_order_acquire);
        const auto it = cache->find(target);
        return it == cache->end() || level <= it->second.filter;
    }

    void log(const log::Record& record) override {
        if (!enabled(record.level, record.target)) return;
        GilGuard gil;
        if (!gil.acquired()) return;  // interpreter is shutting down
        PyObject *type, *value, *tb;  // keep an error of the calling code intact
        PyErr_Fetch(&type, &value, &tb);
        forward(record);
        PyErr_Restore(type, value, tb);
    }

private:
    static constexpr Level kTopFilter = Level::Debug;

    void forward(const log::Record& record) {
        const std::string target(record.target);
        const std::string name = logger_name(record.target);
        const int levelno = python_level(record.level);
        const auto cache = cache_.load(std::memory_order_acquire);
        const auto it = cache->find(target);
        Ref logger;
        const bool cached = it != cache->end();
        if (cached) {
            logger = Ref::borrow(it->second.logger);
        } else {
            logger = Ref::steal(PyObject_CallMethod(logging_, "getLogger", "s", name.c_str()));
            if (!logger) return print_pending_error();
        }
        // A failure drops the record: the logger is not probed for the cache either.
        if (!emit(logger.get(), name, levelno, record)) return print_pending_error();
        if (!cached) add_entry(target, logger);
    }

    static bool emit(PyObject* logger, const std::string& name, int levelno, const log::Record& record) {
        Ref enabled = Ref::steal(PyObject_CallMethod(logger, "isEnabledFor", "i", levelno));
        if (!enabled) return false;
        const int is_enabled = PyObject_IsTrue(enabled.get());
        if (is_enabled < 0) return false;
        if (is_enabled == 0) return true;
        Ref msg = Ref::steal(PyUnicode_DecodeUTF8(record.message.data(),
                                                  static_cast<Py_ssize_t>(record.message.size()), "replace"));
        if (!msg) return false;
        Ref path = record.file ? Ref::steal(PyUnicode_FromString(record.file)) : Ref::borrow(Py_None);
        if (!path) return false;
        Ref args = Ref::steal(PyTuple_New(0));
        if (!args) return false;
        Ref rec = Ref::steal(PyObject_CallMethod(logger, "makeRecord", "siOIOOO", name.c_str(), levelno, path.get(),
                                                 record.file ? record.line : 0u, msg.get(), args.get(), Py_None));
        if (!rec) return false;
        Ref handled = Ref::steal(PyObject_CallMethod(logger, "handle", "O", rec.get()));
        return static_cast<bool>(handled);
    }

    // Caches the logger and its enabled level, probed from the most verbose level up.
    void add_entry(const std::string& target, const Ref& logger) {
        static constexpr std::pair<int, Level> kProbes[] = {
            {5, Level::Trace}, {10, Level::Debug}, {20, Level::Info}, {30, Level::Warn}, {40, Level::Error}};
        Level filter = Level::Off;
        for (const auto& [number, level] : kProbes) {
            Ref r = Ref::steal(PyObject_CallMethod(logger.get(), "isEnabledFor", "i", number));
            const int yes = r ? PyObject_IsTrue(r.get()) : -1;
            if (yes < 0) return print_pending_error();
            if (yes) {
                filter = level;
                break;
            }
        }
        std::lock_guard lock(write_mutex_);  // writers serialise; readers never block
        auto current = cache_.load(std::memory_order_acquire);
        if (current->count(target) != 0) return;
        auto next = std::make_shared<Cache>(*current);
        next->emplace(target, CacheEntry{Ref::borrow(logger.get()).release(), filter});
        cache_.store(std::move(next), std::memory_order_release);
    }

    PyObject* logging_;  // owned for the life of the process
    std::atomic<std::shared_ptr<const Cache>> cache_;
    std::mutex write_mutex_;
};

}  // namespace

void install_logging_bridge() {
    PyObject* logging = PyImport_ImportModule("logging");
    if (logging == nullptr) {
        Ref error = take_pending_exception();
        Ref text = Ref::steal(error ? PyObject_Str(error.get()) : nullptr);
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        const std::string detail = utf8 ? utf8 : "unknown error";
        PyErr_Clear();
        fault("Failed to initialize python logging: " + detail);
    }
    auto* bridge = new PythonLoggingBridge(logging);  // lives for the process
    if (!log::set_sink(bridge)) {
        delete bridge;
        Py_DECREF(logging);
        fault("called `Result::unwrap()` on an `Err` value: SetLoggerError(())");
    }
    log::set_max_level(Level::Debug);
}

}  // namespace kx::py
