#include "utils/mdns_daemon_events.hpp"

#include <type_traits>
#include <utility>

#include <asio/use_awaitable.hpp>
#include <fmt/format.h>
#include <fmt/ranges.h>

namespace kx::utils::mdns_daemon {

std::string debug_text(const ServiceEvent& event) {
    return std::visit(
        [](const auto& e) -> std::string {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, SearchStarted>) {
                return fmt::format("SearchStarted({:?})", e.description);
            } else if constexpr (std::is_same_v<E, ServiceFound>) {
                return fmt::format("ServiceFound({:?}, {:?})", e.service_type, e.fullname);
            } else if constexpr (std::is_same_v<E, ServiceResolved>) {
                return fmt::format("ServiceResolved(fullname: {:?}, host: {:?}, addresses: {}, port: {})",
                                   e.fullname, e.host_name, e.addresses, e.port);
            } else if constexpr (std::is_same_v<E, ServiceRemoved>) {
                return fmt::format("ServiceRemoved({:?}, {:?})", e.service_type, e.fullname);
            } else {
                return fmt::format("SearchStopped({:?})", e.service_type);
            }
        },
        event);
}

bool EventStream::push(ServiceEvent event) {
    std::lock_guard lock(mutex_);
    if (closed_ || queue_.size() >= kMaxQueued) return false;
    queue_.push_back(std::move(event));
    readers_.wake_one();
    return true;
}

void EventStream::close() {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    readers_.wake_all();
}

bool EventStream::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::optional<ServiceEvent> EventStream::try_pop(bool& ended) {
    std::lock_guard lock(mutex_);
    ended = false;
    if (!queue_.empty()) {
        ServiceEvent event = std::move(queue_.front());
        queue_.pop_front();
        return event;
    }
    ended = closed_;
    return std::nullopt;
}

asio::awaitable<std::optional<ServiceEvent>> EventStream::next() {
    for (;;) {
        co_await readers_.async_wait([this] { return !queue_.empty() || closed_; }, asio::use_awaitable);
        bool ended = false;
        if (auto event = try_pop(ended)) co_return event;
        if (ended) co_return std::nullopt;
        // Another reader took the event first: wait again.
    }
}

EventReceiver::EventReceiver(std::shared_ptr<EventStream> stream) : stream_(std::move(stream)) {}

EventReceiver::~EventReceiver() {
    if (stream_) stream_->close();
}

asio::awaitable<std::optional<ServiceEvent>> EventReceiver::receive() {
    // Keeps the stream alive even if the receiver is moved from while waiting.
    auto stream = stream_;
    co_return co_await stream->next();
}

std::optional<ServiceEvent> EventReceiver::try_receive(bool& ended) { return stream_->try_pop(ended); }

}  // namespace kx::utils::mdns_daemon
