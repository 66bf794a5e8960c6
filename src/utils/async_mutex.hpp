// Mutex for coroutines: a waiter suspends its coroutine, not its thread.
// Waiters are served first come, first served; a cancelled wait leaves the
// queue without taking the lock.
//
//   auto guard = co_await mutex.lock();   // unlocked when guard goes, or at guard.unlock()
#pragma once

#include <mutex>
#include <optional>
#include <utility>

#include <asio.hpp>

#include "utils/async_wait_queue.hpp"

namespace kx::utils {

class AsyncMutex {
public:
    class Guard {
    public:
        Guard() noexcept : mutex_(nullptr) {}  // owns nothing
        Guard(Guard&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
        Guard& operator=(Guard&& other) noexcept {
            if (this != &other) {
                unlock();
                mutex_ = std::exchange(other.mutex_, nullptr);
            }
            return *this;
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        ~Guard() { unlock(); }

        bool owns_lock() const { return mutex_ != nullptr; }
        // Unlocks now instead of when the guard goes; then owns nothing.
        void unlock() {
            if (mutex_) std::exchange(mutex_, nullptr)->unlock();
        }

    private:
        friend class AsyncMutex;
        explicit Guard(AsyncMutex* mutex) : mutex_(mutex) {}
        AsyncMutex* mutex_;
    };

    AsyncMutex() = default;
    AsyncMutex(const AsyncMutex&) = delete;
    AsyncMutex& operator=(const AsyncMutex&) = delete;

    asio::awaitable<Guard> lock() {
        // Free and nobody queued (ownership passes straight to a waiter, so a
        // free mutex has none): no suspension, no post.
        if (auto guard = try_lock()) co_return std::move(*guard);
        co_await waiters_.async_wait(
            [this] {
                if (locked_) return false;
                locked_ = true;
                return true;
            },
            asio::use_awaitable);
        co_return Guard(this);
    }

    std::optional<Guard> try_lock() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (locked_) return std::nullopt;
        locked_ = true;
        return Guard(this);
    }

    bool is_locked() {
        std::lock_guard<std::mutex> lock(mutex_);
        return locked_;
    }

private:
    // Ownership passes straight to the oldest waiter, so a newcomer cannot
    // overtake the queue.
    void unlock() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!waiters_.wake_one()) locked_ = false;
    }

    std::mutex mutex_;
    detail::WaitQueue waiters_{mutex_};
    bool locked_ = false;
};

}  // namespace kx::utils
