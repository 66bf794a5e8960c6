// The one asynchronous runtime of the process: an io_context run by a pool of
// worker threads. Built by the first call, never torn down: its threads end
// with the process, never joined (exit waits only for a worker inside Python).
#pragma once

#include <cstddef>

#include <asio.hpp>

namespace kx::utils {

// Environment setting that overrides the worker count (a positive integer).
inline constexpr const char* kWorkerThreadsEnv = "KX_PROTO_SDK_WORKER_THREADS";

// Builds the runtime on first use. Throws std::runtime_error when it cannot be built.
asio::io_context& runtime();
asio::io_context::executor_type runtime_executor();
// Number of worker threads (builds the runtime).
std::size_t runtime_worker_count();
/// True in a process forked after the runtime was built: its workers stayed in the parent, so
/// nothing here would run what is posted to it. Never builds the runtime.
bool runtime_lost_by_fork();

// Worker count from a setting text: its positive value, else `fallback`.
std::size_t parse_worker_count(const char* setting, std::size_t fallback);

}  // namespace kx::utils
