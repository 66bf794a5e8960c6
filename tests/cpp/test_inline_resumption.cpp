#include "utils/inline_resumption.hpp"

#include <optional>
#include <string>
#include <vector>

#include <asio.hpp>
#include <gtest/gtest.h>

#include "log_capture.hpp"
#include "utils/broadcast.hpp"

using kx::utils::inside_inline_resumption;
using kx::utils::make_broadcast;
using kx::utils::Resume;

namespace {

struct MarkCase {
    Resume resume;
    bool send_from_executor;  // else from a thread that does not run it: always posted
    bool marked;
    const char* name;
};

class InlineMark : public testing::TestWithParam<MarkCase> {};

}  // namespace

// The mark is on exactly while a continuation runs inside the send that woke
// it; a posted continuation, and the sender once its send returned, see none.
TEST_P(InlineMark, OnOnlyWhileAContinuationRunsOnTheSendersStack) {
    const MarkCase c = GetParam();
    asio::io_context ctx;
    auto [tx, rx] = make_broadcast<int>(4);
    std::optional<bool> in_continuation;
    asio::co_spawn(ctx, [&]() -> asio::awaitable<void> {
        co_await rx.recv(c.resume);
        in_continuation = inside_inline_resumption();
    }, asio::detached);
    ctx.poll();  // parked
    std::optional<bool> after_send;
    auto send = [&, tx = std::move(tx)] {
        tx.send(1);
        after_send = inside_inline_resumption();
    };
    if (c.send_from_executor) asio::post(ctx, std::move(send));
    else send();
    ctx.run();
    ASSERT_TRUE(in_continuation.has_value());
    EXPECT_EQ(*in_continuation, c.marked);
    EXPECT_EQ(after_send, std::optional(false));
}

INSTANTIATE_TEST_SUITE_P(Modes, InlineMark,
                         testing::Values(MarkCase{Resume::InlineIfRunning, true, true, "InlineFromExecutor"},
                                         MarkCase{Resume::InlineIfRunning, false, false, "InlineFromOtherThread"},
                                         MarkCase{Resume::Posted, true, false, "PostedFromExecutor"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A continuation woken inline that wakes another inline is still on its
// waker's stack when the inner one has suspended again.
TEST(InlineMarkNested, OuterContinuationStaysMarked) {
    asio::io_context ctx;
    auto [outer_tx, outer_rx] = make_broadcast<int>(4);
    auto [inner_tx, inner_rx] = make_broadcast<int>(4);
    std::vector<bool> seen;  // inner, then outer after its send
    asio::co_spawn(ctx, [&]() -> asio::awaitable<void> {
        co_await inner_rx.recv(Resume::InlineIfRunning);
        seen.push_back(inside_inline_resumption());
    }, asio::detached);
    asio::co_spawn(ctx, [&, inner = std::move(inner_tx)]() -> asio::awaitable<void> {
        co_await outer_rx.recv(Resume::InlineIfRunning);
        inner.send(1);
        seen.push_back(inside_inline_resumption());
    }, asio::detached);
    ctx.poll();  // both parked
    asio::post(ctx, [tx = std::move(outer_tx)] { tx.send(1); });
    ctx.run();
    EXPECT_EQ(seen, (std::vector<bool>{true, true}));
}

namespace {

// A task parked for inline resumption writes a record as soon as a send from
// the executor's thread wakes it, without the EEG consumer's hop to a turn of its own.
void log_when_woken() {
    kx::test::LogCapture sink;
    kx::test::LogCaptureScope scope{sink};
    asio::io_context ctx;
    auto [tx, rx] = make_broadcast<int>(4);
    asio::co_spawn(ctx, [&]() -> asio::awaitable<void> {
        co_await rx.recv(Resume::InlineIfRunning);
        KX_INFO("kx_proto_sdk::test", "woken");
    }, asio::detached);
    ctx.poll();  // parked
    asio::post(ctx, [tx = std::move(tx)] { tx.send(1); });
    ctx.run();
}

}  // namespace

// The check is armed in test builds: the record that would make the sender
// wait for the interpreter lock aborts the process and names its position.
TEST(InlineRuleDeathTest, RecordWrittenOnTheSendersStackAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(log_when_woken(),
                 "a log record was written at tests/cpp/test_inline_resumption\\.cpp:[0-9]+ inside an inline "
                 "resumption");
}
