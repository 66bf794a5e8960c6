// The process's file descriptors as the discovery daemon's creation sees
// them: whether there is room for the daemon's, and close-on-exec for the
// ones it opened.
#pragma once

#include <dirent.h>

#include <optional>
#include <string>
#include <vector>

namespace kx::utils::mdns_daemon {

// Descriptors Avahi opens when the daemon is created, measured with Avahi 0.8:
// the poller's wake-up pipe (2), the IPv4 and IPv6 mDNS sockets and the
// netlink socket. With fewer left, a failed netlink open runs into an
// assertion inside the library.
inline constexpr int kDaemonDescriptors = 5;

// A listing of /proc/self/fd held open across the daemon's creation, so that
// reading it again afterwards needs no descriptor of its own.
class DescriptorListing {
public:
    DescriptorListing();
    ~DescriptorListing();
    DescriptorListing(const DescriptorListing&) = delete;
    DescriptorListing& operator=(const DescriptorListing&) = delete;

    // Open descriptor numbers, ascending, the listing's own included; empty
    // when /proc/self/fd cannot be read.
    std::vector<int> read();

    // The error text when, with `open` (as read) open, fewer than `needed`
    // further descriptors can be opened under the RLIMIT_NOFILE soft limit.
    std::optional<std::string> too_few_left(const std::vector<int>& open, int needed);

private:
    DIR* dir_ = nullptr;
    bool exhausted_ = false;  // no descriptor was left even for the listing
};

// Sets close-on-exec on every descriptor of `after` that `before` lacks.
void mark_close_on_exec(const std::vector<int>& before, const std::vector<int>& after);

}  // namespace kx::utils::mdns_daemon
