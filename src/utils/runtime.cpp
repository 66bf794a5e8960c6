#include "utils/runtime.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "utils/forced_unwind.hpp"
#include "utils/log.hpp"

namespace kx::utils {
namespace {

constexpr const char* kTarget = "kx_proto_sdk::utils::runtime";

using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

std::atomic<pid_t> g_built_in{0};  // the process whose workers run the runtime; 0 until built

struct Runtime {
    asio::io_context* context;
    WorkGuard* keep_running;  // held here so the never-freed guard stays reachable
    std::size_t workers;
};

void run_worker(asio::io_context* context) {
    for (;;) {
        try {
            context->run();
            return;
        } catch (const std::exception& e) {
            KX_ERROR(kTarget, "Task failed on a worker thread: {}", e.what());
        } catch (...) {
            pass_forced_unwind();
            KX_ERROR(kTarget, "Task failed on a worker thread: unknown error");
        }
    }
}

Runtime build() {
    const std::size_t cpus = std::max<std::size_t>(1, std::thread::hardware_concurrency());
    const std::size_t wanted = parse_worker_count(std::getenv(kWorkerThreadsEnv), cpus);
    // Leaked on purpose: destroying it at exit would join or strand workers.
    auto* context = new asio::io_context(static_cast<int>(wanted));
    auto* keep_running = new WorkGuard(context->get_executor());
    std::size_t started = 0;
    std::string failure;
    for (std::size_t i = 0; i < wanted; ++i) {
        try {
            std::thread worker(run_worker, context);
            const std::string name = "kx-worker-" + std::to_string(i);
            pthread_setname_np(worker.native_handle(), name.c_str());
            worker.detach();
            ++started;
        } catch (const std::system_error& e) {
            failure = e.what();
            break;
        }
    }
    if (started == 0) {
        throw std::runtime_error("failed to build the async runtime: " + failure);
    }
    g_built_in.store(getpid(), std::memory_order_release);
    return {context, keep_running, started};
}

const Runtime& instance() {
    static const Runtime built = build();  // a throw leaves it unbuilt for the next call
    return built;
}

}  // namespace

std::size_t parse_worker_count(const char* setting, std::size_t fallback) {
    if (setting == nullptr) return fallback;
    const char* end = setting + std::strlen(setting);
    std::size_t value = 0;
    auto [ptr, ec] = std::from_chars(setting, end, value);
    if (ec != std::errc() || ptr != end || value == 0) return fallback;
    return value;
}

asio::io_context& runtime() { return *instance().context; }
asio::io_context::executor_type runtime_executor() { return runtime().get_executor(); }
std::size_t runtime_worker_count() { return instance().workers; }

bool runtime_lost_by_fork() {
    const pid_t owner = g_built_in.load(std::memory_order_acquire);
    return owner != 0 && owner != getpid();
}

}  // namespace kx::utils
