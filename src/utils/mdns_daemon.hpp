// An in-process mDNS / DNS-SD browser on Avahi's embeddable stack: its own
// thread and sockets, browse a service type, stop browsing, shut down.
// Publishing is off: the daemon only asks and listens.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "utils/mdns_daemon_events.hpp"

namespace kx::utils::mdns_daemon {

inline constexpr std::string_view kLogTarget = "kx_proto_sdk::utils::mdns_daemon";
// Avahi's own log lines.
inline constexpr std::string_view kAvahiLogTarget = "kx_proto_sdk::utils::mdns_daemon::avahi";

struct Error {
    std::string text;
};

template <class T>
using Result = std::variant<T, Error>;

class Daemon {
public:
    // Starts the Avahi thread and opens its sockets, all close-on-exec. Fails
    // without touching Avahi when too few descriptors are left for them.
    static Result<std::unique_ptr<Daemon>> create();

    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;
    // Shuts down if that has not happened yet.
    ~Daemon();

    // Browses a full service type such as "_x._tcp.local.". A browse of the
    // same type that runs already is stopped first (its receiver then sees
    // SearchStopped and the end of its stream). Each instance is reported once,
    // whatever the number of interfaces and protocols it is seen on, and is
    // resolved with every A and AAAA record known for its host.
    Result<EventReceiver> browse(std::string_view service_type);

    // Ends the browse of that type, if any: its receiver gets SearchStopped,
    // then the end of the stream. Fails only after shutdown.
    std::optional<Error> stop_browse(std::string_view service_type);

    // Stops the Avahi thread and frees the stack; every browse's stream ends
    // and every later request fails.
    std::optional<Error> shutdown();

    struct Impl;

private:
    explicit Daemon(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kx::utils::mdns_daemon
