// The process's file descriptors as the discovery daemon's creation sees
// them: room held for the ones Avahi opens, and close-on-exec for them once
// it has.
#pragma once

#include <dirent.h>

#include <vector>

namespace kx::utils::mdns_daemon {

// Descriptors Avahi opens when the daemon is created, measured with Avahi 0.8:
// the poller's wake-up pipe, then the IPv4 and IPv6 mDNS sockets and the
// netlink socket. A failed netlink open runs into an assertion inside the
// library, so creation must never start without room for all of them.
inline constexpr int kPollerDescriptors = 2;
inline constexpr int kServerDescriptors = 3;
inline constexpr int kDaemonDescriptors = kPollerDescriptors + kServerDescriptors;
// Room for descriptors that other code opens while Avahi opens its own, once
// the reserve has been handed over: a worker thread's first allocations
// (glibc reads the CPU list), a log handler opening its file for a record
// Avahi writes during creation, the Python thread.
inline constexpr int kDescriptorMargin = 3;

// Placeholder descriptors (duplicates of /dev/null, close-on-exec) that hold
// room under RLIMIT_NOFILE from the check until just before the calls that
// need it: an open by another thread meanwhile fails instead of taking
// Avahi's room.
class DescriptorReserve {
public:
    // Holds up to `wanted` placeholders, as many as can be opened.
    explicit DescriptorReserve(int wanted);
    ~DescriptorReserve();  // closes those still held
    DescriptorReserve(const DescriptorReserve&) = delete;
    DescriptorReserve& operator=(const DescriptorReserve&) = delete;

    int held() const { return static_cast<int>(fds_.size()); }
    // True when fewer than wanted could be held because the process or the
    // system ran out of descriptors; held() is then the number that was free.
    // False when placeholders cannot be made at all (no /dev/null): then
    // nothing was counted.
    bool ran_out() const { return ran_out_; }

    // Closes `count` placeholders (all when fewer are held), so that the next
    // `count` opens of any thread find room.
    void release(int count);

private:
    std::vector<int> fds_;
    bool ran_out_ = false;
};

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

private:
    DIR* dir_ = nullptr;
};

// Sets close-on-exec on every descriptor of `after` that `before` lacks.
void mark_close_on_exec(const std::vector<int>& before, const std::vector<int>& after);

}  // namespace kx::utils::mdns_daemon
