#include "utils/mdns_descriptors.hpp"

#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <fmt/format.h>

namespace kx::utils::mdns_daemon {

DescriptorListing::DescriptorListing() {
    dir_ = opendir("/proc/self/fd");
    exhausted_ = dir_ == nullptr && (errno == EMFILE || errno == ENFILE);
}

DescriptorListing::~DescriptorListing() {
    if (dir_) closedir(dir_);
}

std::vector<int> DescriptorListing::read() {
    std::vector<int> fds;
    if (!dir_) return fds;
    rewinddir(dir_);  // /proc lists what is open at the time of reading
    while (const dirent* entry = readdir(dir_)) {
        if (entry->d_name[0] != '.') fds.push_back(std::atoi(entry->d_name));
    }
    std::sort(fds.begin(), fds.end());
    return fds;
}

std::optional<std::string> DescriptorListing::too_few_left(const std::vector<int>& open, int needed) {
    rlim_t left = 0;
    if (!exhausted_) {
        // Without /proc there is nothing to count; creation goes ahead.
        if (!dir_) return std::nullopt;
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
        // A new descriptor takes the lowest free number and fails once that
        // is not below the limit: only descriptors below it take up room.
        const auto below = static_cast<rlim_t>(std::count_if(
            open.begin(), open.end(), [&](int fd) { return static_cast<rlim_t>(fd) < limit.rlim_cur; }));
        left = limit.rlim_cur > below ? limit.rlim_cur - below : 0;
    }
    if (left >= static_cast<rlim_t>(needed)) return std::nullopt;
    return fmt::format("too few file descriptors left ({} free, {} needed)", left, needed);
}

void mark_close_on_exec(const std::vector<int>& before, const std::vector<int>& after) {
    for (const int fd : after) {
        if (std::binary_search(before.begin(), before.end(), fd)) continue;
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

}  // namespace kx::utils::mdns_daemon
