#include "utils/runtime.hpp"

#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

TEST(Runtime, WorkerCountTakesOnlyPositiveIntegers) {
    const std::pair<const char*, std::size_t> cases[] = {{nullptr, 8}, {"", 8},   {"3", 3},  {"0", 8},
                                                         {"-2", 8},    {"2x", 8}, {" 4", 8}, {"64", 64}};
    for (const auto& [setting, expected] : cases)
        EXPECT_EQ(kx::utils::parse_worker_count(setting, 8), expected) << (setting ? setting : "(unset)");
}

TEST(Runtime, OneInstanceSharedByAllThreadsAndItRunsWork) {
    std::vector<asio::io_context*> seen(4);
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) callers.emplace_back([&seen, i] { seen[i] = &kx::utils::runtime(); });
    for (auto& t : callers) t.join();
    for (auto* ctx : seen) EXPECT_EQ(ctx, seen[0]);
    ASSERT_GE(kx::utils::runtime_worker_count(), 1u);

    // Blocking tasks occupy distinct workers, so a pool of n runs n at once.
    const std::size_t n = kx::utils::runtime_worker_count();
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::vector<std::promise<std::thread::id>> ids(n);
    for (std::size_t i = 0; i < n; ++i) {
        asio::post(kx::utils::runtime_executor(), [&ids, i, gate] {
            ids[i].set_value(std::this_thread::get_id());
            gate.wait();
        });
    }
    std::set<std::thread::id> threads;
    for (auto& p : ids) {
        auto f = p.get_future();
        ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        threads.insert(f.get());
    }
    release.set_value();
    EXPECT_EQ(threads.size(), n);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}
