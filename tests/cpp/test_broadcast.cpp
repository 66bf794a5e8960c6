#include "utils/broadcast.hpp"

#include <algorithm>
#include <future>
#include <memory>
#include <vector>

#include <asio.hpp>
#include <gtest/gtest.h>

#include "async_test_support.hpp"

using kx::utils::make_broadcast;
using kx::utils::RecvStatus;
using kx::utils::Resume;

static std::vector<int> drain_items(kx::utils::BroadcastReceiver<int>& rx) {
    std::vector<int> items;
    for (auto r = rx.try_recv(); r.has_item(); r = rx.try_recv()) items.push_back(*r.item);
    return items;
}

TEST(Broadcast, SendsToCurrentReceiversAndClosesWithTheLastSenderCopy) {
    EXPECT_THROW(make_broadcast<int>(0), std::invalid_argument);
    auto [tx, rx] = make_broadcast<int>(8);
    tx.send(1);
    auto late = tx.subscribe();
    auto later = rx.resubscribe();
    tx.send(2);
    EXPECT_EQ(drain_items(late), (std::vector<int>{2}));
    EXPECT_EQ(drain_items(later), (std::vector<int>{2}));
    { auto a = std::move(late), b = std::move(later); }
    EXPECT_EQ(tx.receiver_count(), 1u);
    auto copy = tx;
    { auto gone = std::move(tx); }
    copy.send(3);
    EXPECT_EQ(drain_items(rx), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Empty);  // a copy still lives
    { auto gone = std::move(rx); }
    EXPECT_EQ(copy.send_or_return(4), std::optional<int>(4));  // nobody receives
    auto last = copy.subscribe();
    { auto gone = std::move(copy); }
    EXPECT_EQ(last.try_recv().status, RecvStatus::Closed);
}

struct LagCase {
    std::size_t capacity;
    int sent;
    bool close = false;  // the sender goes before the receiver reads: lag is still reported first
};

class BroadcastLag : public testing::TestWithParam<LagCase> {};

// A receiver that fell behind is told how many items it lost, then goes on at
// the oldest item held.
TEST_P(BroadcastLag, ReportsLostCountThenResumesAtOldestHeld) {
    const LagCase c = GetParam();
    const int lost = std::max(0, c.sent - static_cast<int>(c.capacity));
    auto [tx, rx] = make_broadcast<int>(c.capacity);
    for (int i = 0; i < c.sent; ++i) ASSERT_TRUE(tx.send(i));
    if (c.close) auto gone = std::move(tx);
    EXPECT_EQ(lost > 0 ? rx.try_recv().lagged : 0u, static_cast<std::uint64_t>(lost));
    auto items = drain_items(rx);
    ASSERT_EQ(items.size(), c.capacity);
    EXPECT_EQ(items.front(), lost);
    EXPECT_EQ(items.back(), c.sent - 1);
    EXPECT_EQ(rx.try_recv().status, c.close ? RecvStatus::Closed : RecvStatus::Empty);
}

INSTANTIATE_TEST_SUITE_P(Table, BroadcastLag,
                         testing::Values(LagCase{4, 5}, LagCase{4, 10}, LagCase{1, 3}, LagCase{128, 129},
                                         LagCase{128, 300}, LagCase{128, 128}, LagCase{2, 5, true}));

// A parked receiver wakes for each item and for the close. Resumed inline, it
// has taken an item before a send from a thread of its executor returns;
// posted, or sent from another thread, only once the executor runs it.
class BroadcastWake : public testing::TestWithParam<Resume> {};

TEST_P(BroadcastWake, ParkedReceiverWakesForItemsAndClose) {
    const bool inline_resume = GetParam() == Resume::InlineIfRunning;
    asio::io_context ctx;
    auto [tx, rx] = make_broadcast<int>(4);
    std::vector<int> seen;  // -1 marks the close
    asio::co_spawn(ctx, [&]() -> asio::awaitable<void> {
        for (auto r = co_await rx.recv(GetParam()); r.status != RecvStatus::Closed; r = co_await rx.recv(GetParam())) {
            seen.push_back(*r.item);
        }
        seen.push_back(-1);
    }, asio::detached);
    ctx.poll();
    tx.send(1);  // not from the executor: posted either way
    EXPECT_TRUE(seen.empty());
    ctx.poll();
    asio::post(ctx, [&, tx = tx] {
        tx.send(2);
        EXPECT_EQ(seen.size(), inline_resume ? 2u : 1u);
        tx.send(3);
    });
    ctx.poll();
    { auto gone = std::move(tx); }
    ctx.poll();
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, -1}));
}

INSTANTIATE_TEST_SUITE_P(Modes, BroadcastWake, testing::Values(Resume::Posted, Resume::InlineIfRunning));

// A cancelled wait consumes nothing; an item is released once every receiver
// has taken it or gone.
TEST(BroadcastAsync, CancelledWaitConsumesNothingAndItemsAreReleased) {
    asio::io_context ctx;
    auto [tx, a] = make_broadcast<std::shared_ptr<int>>(4);
    auto b = tx.subscribe();
    asio::cancellation_signal cancel;
    auto fut = asio::co_spawn(ctx, a.recv(), asio::bind_cancellation_slot(cancel.slot(), asio::use_future));
    ctx.poll();
    cancel.emit(asio::cancellation_type::terminal);
    ctx.poll();
    EXPECT_TRUE(kx::test::ended_aborted(fut));
    auto item = std::make_shared<int>(3);
    std::weak_ptr<int> watch = item;
    tx.send(std::move(item));
    EXPECT_EQ(**a.try_recv().item, 3);
    EXPECT_FALSE(watch.expired());  // b has not taken it yet
    { auto gone = std::move(b); }   // dropping the receiver gives up its share
    EXPECT_TRUE(watch.expired());
}

TEST(BroadcastAsync, ManySendersManyReceiversSeeEverything) {
    constexpr int kSenders = 4, kReceivers = 4, kPerSender = 2000;
    asio::thread_pool rt(4);
    auto [tx, first] = make_broadcast<int>(kSenders * kPerSender);
    std::vector<kx::utils::BroadcastReceiver<int>> rxs;
    rxs.push_back(std::move(first));
    for (int i = 1; i < kReceivers; ++i) rxs.push_back(tx.subscribe());
    std::vector<std::future<bool>> ok;
    for (int i = 0; i < kReceivers; ++i) {
        const Resume mode = i % 2 ? Resume::InlineIfRunning : Resume::Posted;
        ok.push_back(asio::co_spawn(rt, [rx = &rxs[i], mode]() -> asio::awaitable<bool> {
                std::vector<int> last(kSenders, -1);
                int count = 0;
                for (;;) {
                    auto r = co_await rx->recv(mode);
                    if (r.status == RecvStatus::Closed) co_return count == kSenders * kPerSender;
                    if (!r.has_item()) co_return false;
                    const int sender = *r.item / kPerSender, seq = *r.item % kPerSender;
                    if (seq != last[sender] + 1) co_return false;  // per-sender order kept
                    last[sender] = seq;
                    ++count;
                }
            }, asio::use_future));
    }
    // Senders on the pool too, so inline resumption runs across its threads.
    for (int s = 0; s < kSenders; ++s) {
        asio::post(rt, [s, tx = tx] { for (int i = 0; i < kPerSender; ++i) tx.send(s * kPerSender + i); });
    }
    { auto gone = std::move(tx); }
    for (auto& f : ok) EXPECT_TRUE(kx::test::wait_for(f));
}
