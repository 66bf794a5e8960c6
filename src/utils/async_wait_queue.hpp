// Suspended asynchronous waits for the coroutine-friendly primitives
// (broadcast channel, async mutex). A wait never blocks its thread: its
// handler is parked here and later resumed on its own executor.
#pragma once

#include <mutex>
#include <system_error>
#include <type_traits>
#include <utility>

#include <asio.hpp>

#include "utils/inline_resumption.hpp"

namespace kx::utils {

// How a parked wait is resumed once woken through WaitQueue::take_all.
enum class Resume {
    Posted,  // always through a post: another worker picks it up
    // Inline on the waker's thread when that thread already runs the wait's
    // executor, else posted. Saves a thread wake-up per item and keeps a fast
    // producer from running far ahead of its consumer. The continuation runs
    // inside the waker's call up to its next suspension, so what it may do
    // there is restricted: see utils/inline_resumption.hpp (rule and check).
    InlineIfRunning,
};

}  // namespace kx::utils

namespace kx::utils::detail {

// FIFO list of parked waits, guarded by its owner's mutex.
//
// Every wait completes exactly once on the handler's associated executor:
// with success when the owner wakes it, or with operation_aborted when its
// cancellation slot fires first. wake_one/wake_all post (the waker may hold
// the owner's lock); take_all hands the woken waits to a Woken list that
// resumes them after the owner's lock is released, inline where allowed.
// Cancellation must be emitted on the executor (strand) that runs the waiting
// coroutine, as asio requires.
class WaitQueue {
public:
    explicit WaitQueue(std::mutex& owner_mutex) : mutex_(owner_mutex) {
        head_.prev = head_.next = &head_;
    }
    WaitQueue(const WaitQueue&) = delete;
    WaitQueue& operator=(const WaitQueue&) = delete;

    // Completes at once when `ready()` is true, else parks until woken.
    // `ready` runs under the owner's mutex, so no wake-up can be lost
    // between the test and the parking; it may claim what it tests.
    template <typename Ready, typename Token>
    auto async_wait(Ready ready, Token&& token) {
        return async_wait(std::move(ready), Resume::Posted, std::forward<Token>(token));
    }
    template <typename Ready, typename Token>
    auto async_wait(Ready ready, Resume resume, Token&& token) {
        return asio::async_initiate<Token, void(std::error_code)>(
            [this, resume](auto handler, Ready ready_fn) {
                using Handler = std::decay_t<decltype(handler)>;
                auto* waiter = new Waiter<Handler>(std::move(handler));
                waiter->resume = resume;
                std::lock_guard<std::mutex> lock(mutex_);
                if (ready_fn()) {
                    waiter->complete({}, false);
                    return;
                }
                link(waiter);
                waiter->arm_cancellation(this);
            },
            token, std::move(ready));
    }

    // The wake functions require the owner's mutex to be held.
    bool wake_one() {
        if (empty()) return false;
        Node* node = head_.next;
        unlink(node);
        node->complete({}, false);
        return true;
    }
    void wake_all() {
        while (wake_one()) {
        }
    }
    bool empty() const { return head_.next == &head_; }

private:
    struct Node {
        Node* prev = nullptr;
        Node* next = nullptr;
        Resume resume = Resume::Posted;
        bool linked() const { return prev != nullptr; }
        // Schedules the completion; the node deletes itself when it runs.
        // `may_run_inline` only when the owner's lock is not held.
        virtual void complete(std::error_code ec, bool may_run_inline) {
            (void)ec;
            (void)may_run_inline;
        }

    protected:
        ~Node() = default;
    };

public:
    // Waits woken together; resumed, oldest first, when resume() is called or
    // the list goes. Declare it before the guard of the owner's lock, so that
    // it outlives the guard.
    class Woken {
    public:
        Woken() = default;
        Woken(const Woken&) = delete;
        Woken& operator=(const Woken&) = delete;
        ~Woken() { resume(); }

        void resume() {
            while (first_ != nullptr) {
                Node* node = std::exchange(first_, first_->next);
                node->next = nullptr;
                node->complete({}, true);
            }
            last_ = nullptr;
        }

    private:
        friend class WaitQueue;
        Node* first_ = nullptr;
        Node* last_ = nullptr;
    };

    // Moves every parked wait to `woken` (requires the owner's mutex).
    void take_all(Woken& woken) {
        while (!empty()) {
            Node* node = head_.next;
            unlink(node);  // from now on cancellation leaves it alone
            (woken.last_ ? woken.last_->next : woken.first_) = node;
            woken.last_ = node;
        }
    }

private:
    struct CancelHandler {
        WaitQueue* queue;
        Node* node;
        void operator()(asio::cancellation_type type) const {
            if ((type & (asio::cancellation_type::terminal | asio::cancellation_type::partial |
                         asio::cancellation_type::total)) == asio::cancellation_type::none) {
                return;
            }
            std::lock_guard<std::mutex> lock(queue->mutex_);
            if (!node->linked()) return;  // already woken, completion in flight
            queue->unlink(node);
            node->complete(asio::error::operation_aborted, false);
        }
    };

    template <typename Handler>
    struct Waiter final : Node {
        using Executor = asio::associated_executor_t<Handler, asio::system_executor>;
        using WorkExecutor = std::decay_t<decltype(asio::prefer(
            std::declval<Executor>(), asio::execution::outstanding_work.tracked))>;

        explicit Waiter(Handler&& h)
            : handler(std::move(h)),
              work(asio::prefer(asio::get_associated_executor(handler, asio::system_executor()),
                                asio::execution::outstanding_work.tracked)) {}

        void arm_cancellation(WaitQueue* queue) {
            slot = asio::get_associated_cancellation_slot(handler);
            if (slot.is_connected()) slot.template emplace<CancelHandler>(CancelHandler{queue, this});
        }

        void complete(std::error_code ec, bool may_run_inline) override {
            auto ex = work;
            auto run = [this, ec]() {
                if (slot.is_connected()) slot.clear();
                Handler h(std::move(handler));
                delete this;
                std::move(h)(ec);
            };
            if (may_run_inline && resume == Resume::InlineIfRunning) {
                InlineResumptionMark mark;  // whatever dispatch runs now runs on this stack
                asio::dispatch(ex, std::move(run));
            } else {
                asio::post(ex, std::move(run));
            }
        }

        Handler handler;
        WorkExecutor work;
        asio::cancellation_slot slot;
    };

    void link(Node* node) {
        node->prev = head_.prev;
        node->next = &head_;
        head_.prev->next = node;
        head_.prev = node;
    }
    void unlink(Node* node) {
        node->prev->next = node->next;
        node->next->prev = node->prev;
        node->prev = node->next = nullptr;
    }

    struct Head final : Node {};

    std::mutex& mutex_;
    Head head_;
};

}  // namespace kx::utils::detail
