// Events of an mDNS browse and the stream that carries them from the daemon's
// thread to coroutines on the asio side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <asio/awaitable.hpp>

#include "utils/async_wait_queue.hpp"

namespace kx::utils::mdns_daemon {

struct SearchStarted {
    std::string description;
};
struct ServiceFound {
    std::string service_type;
    std::string fullname;
};
struct ServiceResolved {
    std::string fullname;   // "<instance>.<type>" with the trailing dot
    std::string host_name;  // with the trailing dot
    std::vector<std::string> addresses;  // distinct texts, in the order learnt
    std::uint16_t port = 0;
};
struct ServiceRemoved {
    std::string service_type;
    std::string fullname;
};
struct SearchStopped {
    std::string service_type;
};

using ServiceEvent =
    std::variant<SearchStarted, ServiceFound, ServiceResolved, ServiceRemoved, SearchStopped>;

// Kind and contents, e.g. ServiceFound("_x._tcp.local.", "dev._x._tcp.local.").
std::string debug_text(const ServiceEvent& event);

// Unbounded-in-principle, capped-in-practice queue shared by one browse (the
// sending side, on the daemon thread) and its receiver.
class EventStream {
public:
    // Events beyond this many unread ones are dropped: a browse keeps running
    // after a scan has returned and nobody may read its receiver again.
    static constexpr std::size_t kMaxQueued = 1024;

    // False when the event was dropped (stream ended or queue full).
    bool push(ServiceEvent event);
    // Ends the stream after the queued events. Idempotent.
    void close();
    bool closed() const;

    std::optional<ServiceEvent> try_pop(bool& ended);
    asio::awaitable<std::optional<ServiceEvent>> next();

private:
    mutable std::mutex mutex_;
    std::deque<ServiceEvent> queue_;
    bool closed_ = false;
    detail::WaitQueue readers_{mutex_};
};

// The receiving end of a browse. Dropping it tells the daemon that nobody
// reads the browse any more.
class EventReceiver {
public:
    explicit EventReceiver(std::shared_ptr<EventStream> stream);
    EventReceiver(EventReceiver&&) noexcept = default;
    EventReceiver& operator=(EventReceiver&&) noexcept = default;
    EventReceiver(const EventReceiver&) = delete;
    EventReceiver& operator=(const EventReceiver&) = delete;
    ~EventReceiver();

    // Next event, waiting asynchronously; nullopt once the stream has ended
    // and every queued event was read.
    asio::awaitable<std::optional<ServiceEvent>> receive();
    // Next event if one is queued; `ended` tells whether the stream is over.
    std::optional<ServiceEvent> try_receive(bool& ended);

private:
    std::shared_ptr<EventStream> stream_;
};

}  // namespace kx::utils::mdns_daemon
