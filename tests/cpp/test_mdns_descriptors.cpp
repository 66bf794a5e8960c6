// Room held for the discovery daemon's descriptors: placeholders take what is
// left under RLIMIT_NOFILE up to what is wanted, keep it from other opens, and
// hand it back on request.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "utils/mdns_descriptors.hpp"

namespace {

using kx::utils::mdns_daemon::DescriptorReserve;

std::vector<int> open_until_none_left() {
    std::vector<int> fds;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fds.push_back(fd);
    return fds;
}

void close_all(std::vector<int>& fds) {
    for (int fd : fds) ::close(fd);
    fds.clear();
}

// How many more descriptors the process can open right now.
int free_now() {
    std::vector<int> fds = open_until_none_left();
    const int n = static_cast<int>(fds.size());
    close_all(fds);
    return n;
}

// Lowers the soft limit and fills it up so that exactly `left` descriptors
// can still be opened; undoes both when it goes.
class Headroom {
public:
    explicit Headroom(int left) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 128);
        setrlimit(RLIMIT_NOFILE, &lowered);
        filler_ = open_until_none_left();
        for (; left > 0 && !filler_.empty(); --left) {
            ::close(filler_.back());
            filler_.pop_back();
        }
    }
    ~Headroom() {
        close_all(filler_);
        setrlimit(RLIMIT_NOFILE, &saved_);
    }

private:
    rlimit saved_{};
    std::vector<int> filler_;
};

class DescriptorReserveAt : public testing::TestWithParam<int> {};

TEST_P(DescriptorReserveAt, HoldsWhatIsLeftUpToTheWantedCountAndHandsItBackInSteps) {
    constexpr int kWanted = 8;
    const int left = GetParam();
    Headroom headroom(left);
    ASSERT_EQ(free_now(), left);
    const int held = std::min(left, kWanted);
    {
        DescriptorReserve reserve(kWanted);
        EXPECT_EQ(reserve.held(), held);
        EXPECT_EQ(reserve.ran_out(), left < kWanted);
        EXPECT_EQ(free_now(), left - held) << "held room is not open to others";

        reserve.release(2);
        EXPECT_EQ(reserve.held(), std::max(held - 2, 0));
        EXPECT_EQ(free_now(), left - reserve.held()) << "released room is open to the next opens";
    }
    EXPECT_EQ(free_now(), left) << "the rest goes with the reserve";
}

INSTANTIATE_TEST_SUITE_P(Left, DescriptorReserveAt, testing::Values(0, 1, 5, 7, 8, 9, 20));

}  // namespace
