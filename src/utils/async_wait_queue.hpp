// Suspended asynchronous waits for the coroutine-friendly primitives
// (broadcast channel, async mutex). A wait never blocks its thread: its
// handler is parked here and later posted to its own executor.
#pragma once

#include <mutex>
#include <system_error>
#include <type_traits>
#include <utility>

#include <asio.hpp>

namespace kx::utils::detail {

// FIFO list of parked waits, guarded by its owner's mutex.
//
// Every wait completes exactly once, always through a post to the handler's
// associated executor (never inline, so wakers may hold the owner's lock):
// with success when the owner wakes it, or with operation_aborted when its
// cancellation slot fires first. Cancellation must be emitted on the
// executor (strand) that runs the waiting coroutine, as asio requires.
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
        return asio::async_initiate<Token, void(std::error_code)>(
            [this](auto handler, Ready ready_fn) {
                using Handler = std::decay_t<decltype(handler)>;
                auto* waiter = new Waiter<Handler>(std::move(handler));
                std::lock_guard<std::mutex> lock(mutex_);
                if (ready_fn()) {
                    waiter->complete({});
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
        node->complete({});
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
        bool linked() const { return prev != nullptr; }
        // Posts the completion; the node deletes itself when it runs.
        virtual void complete(std::error_code ec) { (void)ec; }

    protected:
        ~Node() = default;
    };

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
            node->complete(asio::error::operation_aborted);
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

        void complete(std::error_code ec) override {
            auto ex = work;
            asio::post(ex, [this, ec]() {
                if (slot.is_connected()) slot.clear();
                Handler h(std::move(handler));
                delete this;
                std::move(h)(ec);
            });
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
