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

TEST(AsyncMutex, TryLockIsExclusiveUntilGuardGoes) {
    AsyncMutex m;
    auto g = m.try_lock();
    ASSERT_TRUE(g.has_value());
    EXPECT_FALSE(m.try_lock().has_value());
    auto moved = std::move(*g);
    g.reset();
    EXPECT_TRUE(m.is_locked());  // the moved-to guard still owns it
    moved.release();
    EXPECT_FALSE(m.is_locked());
    EXPECT_TRUE(m.try_lock().has_value());
}

TEST(AsyncMutex, WaitersAreServedInArrivalOrder) {
    asio::io_context ctx;
    AsyncMutex m;
    auto held = m.try_lock();
    std::vector<int> order;
    for (int i = 0; i < 6; ++i) {
        asio::co_spawn(
            ctx,
            [&m, &order, i]() -> asio::awaitable<void> {
                auto g = co_await m.lock();
                order.push_back(i);
                co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
            },
            asio::detached);
    }
    ctx.poll();
    EXPECT_TRUE(order.empty());
    // A newcomer that arrives after the release must not overtake the queue.
    held.reset();
    EXPECT_FALSE(m.try_lock().has_value());
    ctx.run();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_FALSE(m.is_locked());
}

TEST(AsyncMutex, CancelledWaiterLeavesQueueWithoutTakingLock) {
    asio::io_context ctx;
    AsyncMutex m;
    auto held = m.try_lock();
    asio::cancellation_signal cancel;
    bool second_got_lock = false;
    auto cancelled = asio::co_spawn(ctx, m.lock(), asio::bind_cancellation_slot(cancel.slot(), asio::use_future));
    asio::co_spawn(
        ctx,
        [&]() -> asio::awaitable<void> {
            auto g = co_await m.lock();
            second_got_lock = true;
        },
        asio::detached);
    ctx.poll();
    cancel.emit(asio::cancellation_type::terminal);
    ctx.poll();
    ASSERT_EQ(cancelled.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_TRUE(kx::test::ended_aborted(cancelled));
    EXPECT_FALSE(second_got_lock);
    held.reset();
    ctx.run();
    EXPECT_TRUE(second_got_lock);
    EXPECT_FALSE(m.is_locked());
}

TEST(AsyncMutex, ExcludesAcrossThreads) {
    constexpr int kTasks = 64, kRounds = 50;
    asio::io_context ctx(4);
    AsyncMutex m;
    int counter = 0;  // plain int: only touched under the async mutex
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    for (int t = 0; t < kTasks; ++t) {
        asio::co_spawn(
            ctx,
            [&]() -> asio::awaitable<void> {
                for (int r = 0; r < kRounds; ++r) {
                    auto g = co_await m.lock();
                    if (inside.fetch_add(1) != 0) overlap = true;
                    const int seen = counter;
                    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
                    counter = seen + 1;
                    inside.fetch_sub(1);
                }
            },
            asio::detached);
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&ctx] { ctx.run(); });
    for (auto& t : threads) t.join();
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(counter, kTasks * kRounds);
}

// Cancellation racing with the hand-over must never leave the mutex owned by
// nobody: either the waiter is aborted or it gets (and releases) the lock.
TEST(AsyncMutex, CancelRacingHandOverNeverStrandsTheLock) {
    kx::test::ThreadedContext rt(2);
    AsyncMutex m;
    for (int round = 0; round < 200; ++round) {
        auto held = m.try_lock();
        ASSERT_TRUE(held.has_value());
        auto strand = asio::make_strand(rt.ctx());
        asio::cancellation_signal cancel;
        std::promise<void> done;
        asio::co_spawn(
            strand,
            [&]() -> asio::awaitable<void> { auto g = co_await m.lock(); },
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
