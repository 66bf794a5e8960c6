#include "utils/mdns_descriptors.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace kx::utils::mdns_daemon {

namespace {

bool out_of_descriptors(int error) { return error == EMFILE || error == ENFILE; }

}  // namespace

DescriptorReserve::DescriptorReserve(int wanted) {
    if (wanted <= 0) return;
    const int first = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (first < 0) {
        ran_out_ = out_of_descriptors(errno);
        return;
    }
    fds_.push_back(first);
    while (held() < wanted) {
        const int fd = fcntl(first, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            ran_out_ = out_of_descriptors(errno);
            return;
        }
        fds_.push_back(fd);
    }
}

DescriptorReserve::~DescriptorReserve() { release(held()); }

void DescriptorReserve::release(int count) {
    for (; count > 0 && !fds_.empty(); --count) {
        ::close(fds_.back());
        fds_.pop_back();
    }
}

DescriptorListing::DescriptorListing() { dir_ = opendir("/proc/self/fd"); }

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

void mark_close_on_exec(const std::vector<int>& before, const std::vector<int>& after) {
    for (const int fd : after) {
        if (std::binary_search(before.begin(), before.end(), fd)) continue;
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

}  // namespace kx::utils::mdns_daemon
