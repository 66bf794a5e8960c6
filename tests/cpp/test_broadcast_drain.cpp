#include "utils/broadcast_drain.hpp"

#include <string>
#include <vector>

#include <asio.hpp>
#include <gtest/gtest.h>

using kx::utils::make_broadcast;
using kx::utils::Resume;

namespace {

// How the actions of a drain are written: plain, or returning an awaitable
// that suspends (a post) before it finishes its note.
enum class Actions { Plain, Suspending };

class Drain : public testing::TestWithParam<Actions> {};

asio::awaitable<void> note_after_a_turn(std::vector<std::string>& seen, std::string text) {
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    seen.push_back(std::move(text));
}

}  // namespace

// Lag reports and items reach their actions in order, an action's awaitable
// completes before the next receive, and the drain ends at the close.
TEST_P(Drain, ActsOnEveryItemAndLagInOrderUntilTheClose) {
    asio::io_context ctx;
    auto [tx, rx] = make_broadcast<int>(2);
    std::vector<std::string> seen;
    const auto note = [&, suspending = GetParam() == Actions::Suspending](std::string text) -> asio::awaitable<void> {
        seen.push_back("begin");
        if (suspending) return note_after_a_turn(seen, std::move(text));
        seen.push_back(std::move(text));
        return {};
    };
    asio::co_spawn(ctx, [&]() -> asio::awaitable<void> {
        co_await kx::utils::drain(rx, Resume::Posted, [&](int item) { return note(std::to_string(item)); },
                                  [&](std::uint64_t lost) { return note("lost " + std::to_string(lost)); });
        seen.push_back("end");
    }, asio::detached);
    for (int i = 0; i < 5; ++i) tx.send(i);
    ctx.poll();
    tx.send(5);
    { auto gone = std::move(tx); }
    ctx.run();
    EXPECT_EQ(seen, (std::vector<std::string>{"begin", "lost 3", "begin", "3", "begin", "4", "begin", "5", "end"}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, Drain, testing::Values(Actions::Plain, Actions::Suspending));

// Resumed inline, an action that leaves nothing to await runs inside each
// send from the executor's thread: no post per item.
TEST(DrainInline, PlainActionsRunInsideEachSend) {
    asio::io_context ctx;
    auto [tx, rx] = make_broadcast<int>(4);
    std::vector<int> seen;
    asio::co_spawn(ctx, kx::utils::drain(rx, Resume::InlineIfRunning, [&](int item) { seen.push_back(item); },
                                         [&](std::uint64_t) { seen.push_back(-1); }),
                   asio::detached);
    ctx.poll();  // parked
    std::vector<std::size_t> after_send;
    asio::post(ctx, [&, tx = std::move(tx)] {
        for (int i = 0; i < 10; ++i) {
            tx.send(i);
            after_send.push_back(seen.size());
        }
    });
    ctx.run();
    EXPECT_EQ(after_send, (std::vector<std::size_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

// One step per call: it waits while nothing is held (no Empty result), acts
// once, and at the close acts not at all and says so.
TEST(ReceiveOne, WaitsActsOnceAndTellsTheClose) {
    asio::io_context ctx;
    auto [tx, rx] = make_broadcast<int>(1);
    std::vector<std::string> seen;
    const auto step = [&]() -> asio::awaitable<void> {
        const bool more = co_await kx::utils::receive_one(
            rx, Resume::Posted, [&](int item) { seen.push_back(std::to_string(item)); },
            [&](std::uint64_t lost) { seen.push_back("lost " + std::to_string(lost)); });
        seen.push_back(more ? "more" : "closed");
    };
    asio::co_spawn(ctx, [&]() -> asio::awaitable<void> {
        for (int i = 0; i < 4; ++i) co_await step();
    }, asio::detached);
    ctx.poll();
    EXPECT_TRUE(seen.empty());
    tx.send(1);
    ctx.poll();
    tx.send(2);
    tx.send(3);
    ctx.poll();
    { auto gone = std::move(tx); }
    ctx.run();
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "more", "lost 1", "more", "3", "more", "closed"}));
}
