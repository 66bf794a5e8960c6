// Helpers shared by the tests of the coroutine primitives.
#pragma once

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <asio.hpp>
#include <gtest/gtest.h>

namespace kx::test {

// An io_context run by a few threads for the lifetime of the object.
class ThreadedContext {
public:
    explicit ThreadedContext(int threads) : work_(asio::make_work_guard(ctx_)) {
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { ctx_.run(); });
    }
    ~ThreadedContext() {
        work_.reset();
        for (auto& t : threads_) t.join();
    }
    asio::io_context& ctx() { return ctx_; }

private:
    asio::io_context ctx_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
};

template <typename T>
T wait_for(std::future<T>& f) {
    EXPECT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return f.get();
}

// Whether the work behind `f` ended with operation_aborted.
template <typename T>
bool ended_aborted(std::future<T>& f) {
    try {
        wait_for(f);
    } catch (const asio::system_error& err) {
        return err.code() == asio::error::operation_aborted;
    }
    return false;
}

}  // namespace kx::test
