// Bounded multi-producer, multi-consumer broadcast channel.
//
//   auto [tx, rx] = kx::utils::make_broadcast<T>(capacity);
//
// Every receiver sees every item sent after it subscribed, in order. The
// channel holds the newest `capacity` items; a receiver that falls further
// behind is told how many it lost (RecvStatus::Lagged) and goes on at the
// oldest item still held. A send never blocks; with no receiver it drops the
// item. When the last sender copy is gone, receivers drain what is held and
// then see RecvStatus::Closed. Items are copied out to each receiver (the last
// reader of an item gets it moved), so T should be cheap to copy.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <asio.hpp>

#include "utils/async_wait_queue.hpp"

namespace kx::utils {

enum class RecvStatus {
    Item,
    Lagged,
    Closed,
    Empty,  // try_recv() only: nothing new yet; recv() waits instead
};

template <typename T>
struct RecvResult {
    RecvStatus status = RecvStatus::Empty;
    std::optional<T> item;     // set when status == Item
    std::uint64_t lagged = 0;  // items lost when status == Lagged

    bool has_item() const { return status == RecvStatus::Item; }
    static RecvResult of_item(T value) { return {RecvStatus::Item, std::move(value), 0}; }
    static RecvResult of_lag(std::uint64_t lost) { return {RecvStatus::Lagged, std::nullopt, lost}; }
    static RecvResult of(RecvStatus status) { return {status, std::nullopt, 0}; }
};

template <typename T>
class BroadcastSender;
template <typename T>
class BroadcastReceiver;

namespace detail {

template <typename T>
class BroadcastState {
public:
    explicit BroadcastState(std::size_t capacity) : slots_(capacity) {
        if (capacity == 0) throw std::invalid_argument("broadcast capacity must be positive");
    }

    // Returns the item back when nobody would receive it.
    // Waiting receivers are resumed after the lock is released, the
    // overwritten item is destroyed after that.
    std::optional<T> send(T item) {
        std::optional<T> overwritten;
        WaitQueue::Woken woken;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (receivers_ == 0) return std::optional<T>(std::move(item));
            Slot& slot = slots_[tail_ % slots_.size()];
            overwritten.swap(slot.value);
            slot.value.emplace(std::move(item));
            slot.remaining = receivers_;
            ++tail_;
            waiters_.take_all(woken);
        }
        woken.resume();
        return std::nullopt;
    }

    std::uint64_t subscribe() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++receivers_;
        return tail_;
    }

    void unsubscribe(std::uint64_t next) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::uint64_t pos = std::max(next, oldest()); pos < tail_; ++pos) release(slot_at(pos));
        --receivers_;
    }

    // Posted, never inline: this runs in destructors.
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        waiters_.wake_all();
    }

    RecvResult<T> take(std::uint64_t& next) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint64_t first = oldest();
        if (next < first) {
            const std::uint64_t lost = first - next;
            next = first;
            return RecvResult<T>::of_lag(lost);
        }
        if (next == tail_) return RecvResult<T>::of(closed_ ? RecvStatus::Closed : RecvStatus::Empty);
        Slot& slot = slot_at(next++);
        if (slot.remaining == 1) {
            RecvResult<T> result = RecvResult<T>::of_item(std::move(*slot.value));
            release(slot);
            return result;
        }
        --slot.remaining;
        return RecvResult<T>::of_item(*slot.value);
    }

    template <typename Token>
    auto async_wait_ready(const std::uint64_t& next, Resume resume, Token&& token) {
        return waiters_.async_wait([this, &next] { return next != tail_ || closed_; }, resume,
                                   std::forward<Token>(token));
    }

    std::size_t receiver_count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return receivers_;
    }
    std::size_t capacity() const { return slots_.size(); }

private:
    struct Slot {
        std::size_t remaining = 0;  // receivers that have yet to take the value
        std::optional<T> value;
    };

    std::uint64_t oldest() const { return tail_ > slots_.size() ? tail_ - slots_.size() : 0; }
    Slot& slot_at(std::uint64_t pos) { return slots_[pos % slots_.size()]; }
    static void release(Slot& slot) {
        if (--slot.remaining == 0) slot.value.reset();
    }

    std::mutex mutex_;
    WaitQueue waiters_{mutex_};
    std::vector<Slot> slots_;
    std::uint64_t tail_ = 0;  // position of the next item sent
    std::size_t receivers_ = 0;
    bool closed_ = false;
};

// Shared by all copies of one sender; the channel closes when it goes.
template <typename T>
struct SenderLife {
    std::shared_ptr<BroadcastState<T>> state;
    explicit SenderLife(std::shared_ptr<BroadcastState<T>> s) : state(std::move(s)) {}
    SenderLife(const SenderLife&) = delete;
    SenderLife& operator=(const SenderLife&) = delete;
    ~SenderLife() { state->close(); }
};

}  // namespace detail

template <typename T>
class BroadcastReceiver {
public:
    BroadcastReceiver(BroadcastReceiver&& other) noexcept
        : state_(std::move(other.state_)), next_(other.next_) {}
    BroadcastReceiver& operator=(BroadcastReceiver&& other) noexcept {
        if (this != &other) {
            leave();
            state_ = std::move(other.state_);
            next_ = other.next_;
        }
        return *this;
    }
    BroadcastReceiver(const BroadcastReceiver&) = delete;
    BroadcastReceiver& operator=(const BroadcastReceiver&) = delete;
    ~BroadcastReceiver() { leave(); }

    RecvResult<T> try_recv() { return state_->take(next_); }

    // Suspends the calling coroutine (not its thread) until an item, a lag
    // report or the close (never Empty); never while items wait. Readers go
    // through drain() or receive_one() (broadcast_drain.hpp), which tell the
    // results apart. Cancellation ends the wait with operation_aborted; no item
    // is consumed by a cancelled wait. The receiver must outlive the call and
    // must not be moved while a call is pending. With Resume::InlineIfRunning a
    // sender on a worker thread runs the woken caller up to its next suspension
    // before its send returns (see Resume for what that caller must not do
    // before it suspends).
    asio::awaitable<RecvResult<T>> recv(Resume resume = Resume::Posted) {
        for (;;) {
            RecvResult<T> result = state_->take(next_);
            if (result.status != RecvStatus::Empty) co_return result;
            co_await state_->async_wait_ready(next_, resume, asio::use_awaitable);
        }
    }

    // A new receiver of the same channel that sees only items sent from now on.
    BroadcastReceiver resubscribe() const { return BroadcastReceiver(state_); }

private:
    friend class BroadcastSender<T>;
    template <typename U>
    friend std::pair<BroadcastSender<U>, BroadcastReceiver<U>> make_broadcast(std::size_t);
    explicit BroadcastReceiver(std::shared_ptr<detail::BroadcastState<T>> state)
        : state_(std::move(state)), next_(state_->subscribe()) {}
    void leave() {
        if (state_) state_->unsubscribe(next_);
        state_.reset();
    }

    std::shared_ptr<detail::BroadcastState<T>> state_;
    std::uint64_t next_ = 0;
};

template <typename T>
class BroadcastSender {
public:
    // Never blocks. False (and the item is dropped) when there is no receiver.
    bool send(T item) const { return !life_->state->send(std::move(item)).has_value(); }
    // As send(), but hands the item back when there is no receiver.
    std::optional<T> send_or_return(T item) const { return life_->state->send(std::move(item)); }

    BroadcastReceiver<T> subscribe() const { return BroadcastReceiver<T>(life_->state); }
    std::size_t receiver_count() const { return life_->state->receiver_count(); }
    std::size_t capacity() const { return life_->state->capacity(); }

private:
    template <typename U>
    friend std::pair<BroadcastSender<U>, BroadcastReceiver<U>> make_broadcast(std::size_t);
    explicit BroadcastSender(std::shared_ptr<detail::SenderLife<T>> life) : life_(std::move(life)) {}

    std::shared_ptr<detail::SenderLife<T>> life_;
};

template <typename T>
std::pair<BroadcastSender<T>, BroadcastReceiver<T>> make_broadcast(std::size_t capacity) {
    auto state = std::make_shared<detail::BroadcastState<T>>(capacity);
    BroadcastReceiver<T> rx = BroadcastReceiver<T>(state);
    BroadcastSender<T> tx(std::make_shared<detail::SenderLife<T>>(std::move(state)));
    return {std::move(tx), std::move(rx)};
}

}  // namespace kx::utils
