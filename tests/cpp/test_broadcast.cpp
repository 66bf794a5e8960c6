#include "utils/broadcast.hpp"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>
#include <gtest/gtest.h>

#include "async_test_support.hpp"

using kx::utils::make_broadcast;
using kx::utils::RecvStatus;
using kx::test::ThreadedContext;
using kx::test::wait_for;

namespace {

std::vector<int> drain_items(kx::utils::BroadcastReceiver<int>& rx) {
    std::vector<int> items;
    for (auto r = rx.try_recv(); r.has_item(); r = rx.try_recv()) items.push_back(*r.item);
    return items;
}

// Sends a tracked item; the weak pointer expires once every receiver let go of it.
std::weak_ptr<int> send_tracked(const kx::utils::BroadcastSender<std::shared_ptr<int>>& tx, int v) {
    auto item = std::make_shared<int>(v);
    std::weak_ptr<int> watch = item;
    EXPECT_TRUE(tx.send(std::move(item)));
    return watch;
}

void expect_take(kx::utils::BroadcastReceiver<std::shared_ptr<int>>& rx, int v) {
    auto r = rx.try_recv();
    ASSERT_TRUE(r.has_item());
    EXPECT_EQ(**r.item, v);
}

}  // namespace

TEST(Broadcast, SendWithoutReceiverFailsAndReturnsItem) {
    auto [tx, rx] = make_broadcast<std::string>(4);
    { auto gone = std::move(rx); }
    EXPECT_EQ(tx.receiver_count(), 0u);
    EXPECT_FALSE(tx.send("lost"));
    auto back = tx.send_or_return("kept");
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, "kept");
}

TEST(Broadcast, SubscriberSeesOnlyLaterItems) {
    auto [tx, rx] = make_broadcast<int>(8);
    tx.send(1);
    auto late = tx.subscribe();
    auto later = rx.resubscribe();
    tx.send(2);
    EXPECT_EQ(drain_items(rx), (std::vector<int>{1, 2}));
    EXPECT_EQ(drain_items(late), (std::vector<int>{2}));
    EXPECT_EQ(drain_items(later), (std::vector<int>{2}));
    EXPECT_EQ(tx.receiver_count(), 3u);
}

struct LagCase {
    std::size_t capacity;
    int sent;
    std::uint64_t lost;
    int first_after_lag;
    bool close = false;  // the sender goes before the receiver reads: lag is still reported first
};

class BroadcastLag : public testing::TestWithParam<LagCase> {};

TEST_P(BroadcastLag, ReportsLostCountThenResumesAtOldestHeld) {
    const LagCase c = GetParam();
    auto [tx, rx] = make_broadcast<int>(c.capacity);
    for (int i = 0; i < c.sent; ++i) ASSERT_TRUE(tx.send(i));
    if (c.close) auto gone = std::move(tx);
    if (c.lost > 0) {
        auto r = rx.try_recv();
        ASSERT_EQ(r.status, RecvStatus::Lagged);
        EXPECT_EQ(r.lagged, c.lost);
    }
    auto items = drain_items(rx);
    ASSERT_EQ(items.size(), c.capacity);
    EXPECT_EQ(items.front(), c.first_after_lag);
    EXPECT_EQ(items.back(), c.sent - 1);
    EXPECT_EQ(rx.try_recv().status, c.close ? RecvStatus::Closed : RecvStatus::Empty);
}

INSTANTIATE_TEST_SUITE_P(Table, BroadcastLag,
                         testing::Values(LagCase{4, 5, 1, 1}, LagCase{4, 10, 6, 6},
                                         LagCase{1, 3, 2, 2}, LagCase{128, 129, 1, 1},
                                         LagCase{128, 300, 172, 172}, LagCase{128, 128, 0, 0},
                                         LagCase{2, 5, 3, 3, true}));

TEST(Broadcast, LagIsPerReceiver) {
    auto [tx, slow] = make_broadcast<int>(2);
    auto fast = tx.subscribe();
    for (int i = 0; i < 4; ++i) {
        tx.send(i);
        ASSERT_TRUE(fast.try_recv().has_item());
    }
    EXPECT_EQ(slow.try_recv().lagged, 2u);
    EXPECT_EQ(drain_items(slow), (std::vector<int>{2, 3}));
    EXPECT_EQ(fast.try_recv().status, RecvStatus::Empty);
}

TEST(Broadcast, ClosesWhenLastSenderCopyGoesAfterDrain) {
    auto [tx, rx] = make_broadcast<int>(4);
    auto copy = tx;
    tx.send(7);
    { auto gone = std::move(tx); }
    copy.send(8);
    EXPECT_EQ(drain_items(rx), (std::vector<int>{7, 8}));
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Empty);  // a copy still lives
    { auto gone = std::move(copy); }
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Closed);
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Closed);
}

TEST(Broadcast, ItemsAreReleasedOnceEveryReceiverHasThem) {
    auto [tx, a] = make_broadcast<std::shared_ptr<int>>(4);
    auto b = tx.subscribe();
    auto watch = send_tracked(tx, 5);
    expect_take(a, 5);
    EXPECT_FALSE(watch.expired());  // b has not taken it yet
    { auto gone = std::move(b); }   // dropping the receiver gives up its share
    EXPECT_TRUE(watch.expired());
}

TEST(Broadcast, ZeroCapacityIsRefused) {
    EXPECT_THROW(make_broadcast<int>(0), std::invalid_argument);
}

TEST(BroadcastAsync, WaitingReceiverWakesForItemAndClose) {
    ThreadedContext rt(3);
    auto [tx, rx] = make_broadcast<int>(4);
    auto fut = asio::co_spawn(
        rt.ctx(),
        [&rx]() -> asio::awaitable<std::vector<RecvStatus>> {
            std::vector<RecvStatus> seen;
            for (;;) {
                auto r = co_await rx.recv();
                seen.push_back(r.status);
                if (r.status == RecvStatus::Closed) co_return seen;
                EXPECT_EQ(*r.item, static_cast<int>(seen.size()));
            }
        },
        asio::use_future);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tx.send(1);
    tx.send(2);
    { auto gone = std::move(tx); }
    EXPECT_EQ(wait_for(fut),
              (std::vector<RecvStatus>{RecvStatus::Item, RecvStatus::Item, RecvStatus::Closed}));
}

TEST(BroadcastAsync, CancelledWaitEndsPromptlyAndConsumesNothing) {
    ThreadedContext rt(2);
    auto [tx, rx] = make_broadcast<std::shared_ptr<int>>(4);
    auto strand = asio::make_strand(rt.ctx());
    asio::cancellation_signal cancel;
    auto fut = asio::co_spawn(strand, rx.recv(), asio::bind_cancellation_slot(cancel.slot(), asio::use_future));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    asio::post(strand, [&cancel] { cancel.emit(asio::cancellation_type::terminal); });
    EXPECT_TRUE(kx::test::ended_aborted(fut));
    auto watch = send_tracked(tx, 3);
    expect_take(rx, 3);
    EXPECT_TRUE(watch.expired());
}

TEST(BroadcastAsync, ManySendersManyReceiversSeeEverything) {
    constexpr int kSenders = 4, kReceivers = 4, kPerSender = 2000;
    ThreadedContext rt(4);
    auto [tx, first] = make_broadcast<int>(kSenders * kPerSender);
    std::vector<kx::utils::BroadcastReceiver<int>> rxs;
    rxs.push_back(std::move(first));
    for (int i = 1; i < kReceivers; ++i) rxs.push_back(tx.subscribe());
    std::vector<std::future<bool>> ok;
    for (int i = 0; i < kReceivers; ++i) {
        ok.push_back(asio::co_spawn(
            rt.ctx(),
            [rx = &rxs[i]]() -> asio::awaitable<bool> {
                std::vector<int> last(kSenders, -1);
                int count = 0;
                for (;;) {
                    auto r = co_await rx->recv();
                    if (r.status == RecvStatus::Closed) co_return count == kSenders * kPerSender;
                    if (!r.has_item()) co_return false;
                    const int sender = *r.item / kPerSender, seq = *r.item % kPerSender;
                    if (seq != last[sender] + 1) co_return false;  // per-sender order kept
                    last[sender] = seq;
                    ++count;
                }
            },
            asio::use_future));
    }
    {
        std::vector<std::thread> senders;
        for (int s = 0; s < kSenders; ++s) {
            senders.emplace_back([s, tx = tx] {
                for (int i = 0; i < kPerSender; ++i) tx.send(s * kPerSender + i);
            });
        }
        for (auto& t : senders) t.join();
    }
    { auto gone = std::move(tx); }
    for (auto& f : ok) EXPECT_TRUE(wait_for(f));
}
