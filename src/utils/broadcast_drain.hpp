// The one place that tells apart what a broadcast receiver gives: an item, a
// lag report or the close. Tasks that read a channel hand it two actions:
//
//   co_await drain(rx, Resume::Posted,
//                  [&](const T& item) { ... },               // every item, in order
//                  [&](std::uint64_t lost) { ... });         // every lag report
//
// An action returns void, or an asio::awaitable<void> that is awaited before
// the next receive when it is valid(). An action that must suspend only now
// and then (to write a log record from a turn of its own) is a plain function
// returning the awaitable of a coroutine when it must and an empty awaitable
// otherwise: the common case then makes no coroutine frame and no post.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include <asio.hpp>

#include "utils/broadcast.hpp"

namespace kx::utils {
namespace detail {

// Calls `action`; a void action leaves nothing to await.
template <typename Action, typename Arg>
asio::awaitable<void> call_action(Action& action, Arg&& arg) {
    if constexpr (std::is_void_v<std::invoke_result_t<Action&, Arg>>) {
        action(std::forward<Arg>(arg));
        return {};
    } else {
        return action(std::forward<Arg>(arg));
    }
}

// Runs the action that fits `result`, which is an item or a lag report.
template <typename T, typename OnItem, typename OnLag>
asio::awaitable<void> act_on(RecvResult<T>& result, OnItem& on_item, OnLag& on_lag) {
    if (result.has_item()) return call_action(on_item, *result.item);
    return call_action(on_lag, result.lagged);
}

}  // namespace detail

/// Runs `on_item(T&)` for every item and `on_lag(std::uint64_t lost)` for every
/// lag report that `rx.recv(resume)` gives, in order, and returns at the close.
/// Each action, with what it returned to await, completes before the next
/// receive; the item lives until then. `rx` must outlive the call.
template <typename T, typename OnItem, typename OnLag>
asio::awaitable<void> drain(BroadcastReceiver<T>& rx, Resume resume, OnItem on_item, OnLag on_lag) {
    for (;;) {
        RecvResult<T> result = co_await rx.recv(resume);
        if (result.status == RecvStatus::Closed) co_return;
        if (auto rest = detail::act_on(result, on_item, on_lag); rest.valid()) co_await std::move(rest);
    }
}

/// One step of drain(), for a reader that takes one result per request: the
/// action for the next item or lag report, then true; false, and no action, at
/// the close.
template <typename T, typename OnItem, typename OnLag>
asio::awaitable<bool> receive_one(BroadcastReceiver<T>& rx, Resume resume, OnItem on_item, OnLag on_lag) {
    RecvResult<T> result = co_await rx.recv(resume);
    if (result.status == RecvStatus::Closed) co_return false;
    if (auto rest = detail::act_on(result, on_item, on_lag); rest.valid()) co_await std::move(rest);
    co_return true;
}

}  // namespace kx::utils
