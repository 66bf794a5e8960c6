#include "utils/async_mutex.hpp"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <asio.hpp>
#include <gtest/gtest.h>

#include "async_test_support.hpp"

using kx::utils::AsyncMutex;

// Waiters queue in arrival order and are then served one at a time, in that
// order, by a pool of threads; a cancelled waiter leaves the queue untouched.
TEST(AsyncMutex, WaitersAreServedOneAtATimeInArrivalOrder) {
    constexpr int kTasks = 64;
    asio::io_context ctx;
    AsyncMutex m;
    auto held = m.try_lock();
    std::vector<int> order;  // only touched under the async mutex
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    asio::cancellation_signal cancel;
    std::future<AsyncMutex::Guard> cancelled;
    for (int i = 0; i < kTasks; ++i) {
        if (i == kTasks / 2) cancelled = asio::co_spawn(ctx, m.lock(), asio::bind_cancellation_slot(cancel.slot(), asio::use_future));
        asio::co_spawn(ctx, [&, i]() -> asio::awaitable<void> {
            auto g = co_await m.lock();
            if (inside.fetch_add(1) != 0) overlap = true;
            co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
            order.push_back(i);
            inside.fetch_sub(1);
        }, asio::detached);
    }
    ctx.poll();
    cancel.emit(asio::cancellation_type::terminal);
    ctx.poll();
    EXPECT_TRUE(kx::test::ended_aborted(cancelled));
    ctx.poll();
    AsyncMutex::Guard moved = std::move(*held);
    held.reset();  // a moved-from guard owns nothing
    ctx.poll();
    EXPECT_TRUE(order.empty());
    // A newcomer that arrives after the unlock must not overtake the queue.
    moved.unlock();
    EXPECT_FALSE(m.try_lock().has_value());
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&ctx] { ctx.run(); });
    for (auto& t : threads) t.join();
    EXPECT_FALSE(overlap.load());
    ASSERT_EQ(order.size(), static_cast<std::size_t>(kTasks));
    for (int i = 0; i < kTasks; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(m.is_locked());
}

// Cancellation racing with the hand-over must never leave the mutex owned by
// nobody: either the waiter is aborted or it gets (and releases) the lock.
TEST(AsyncMutex, CancelRacingHandOverNeverStrandsTheLock) {
    asio::thread_pool rt(2);
    AsyncMutex m;
    for (int round = 0; round < 200; ++round) {
        auto held = m.try_lock();
        ASSERT_TRUE(held.has_value());
        auto strand = asio::make_strand(rt);
        asio::cancellation_signal cancel;
        std::promise<void> done;
        asio::co_spawn(strand, [&]() -> asio::awaitable<void> { auto g = co_await m.lock(); },
                       asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr) { done.set_value(); }));
        asio::post(strand, [&] { held.reset(); });
        asio::post(strand, [&] { cancel.emit(asio::cancellation_type::terminal); });
        auto f = done.get_future();
        ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        // The strand has finished the cancel handler before `done` completes.
        std::promise<void> flushed;
        asio::post(strand, [&] { flushed.set_value(); });
        flushed.get_future().wait();
        EXPECT_FALSE(m.is_locked()) << "round " << round;
    }
}
