// Discovery: the elapsed-time text of the scan's log records.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "utils/mdns.hpp"

namespace {

using kx::utils::mdns::format_elapsed;
using std::chrono::nanoseconds;

TEST(ElapsedText, UsesTheLargestUnitOfAtLeastOne) {
    const std::vector<std::pair<long long, std::string>> cases{
        {1'500'000'000, "1.5s"}, {250'000'000, "250ms"}, {12'345, "12.345µs"}, {800, "800ns"}, {0, "0ns"},
        {-5, "0ns"}, {1, "1ns"}, {999, "999ns"}, {1'000, "1µs"}, {1'000'001, "1.000001ms"},
        {999'999'999, "999.999999ms"}, {1'000'000'001, "1.000000001s"}, {90'000'000'000, "90s"},
        {3'600'250'000'000, "3600.25s"}};
    for (const auto& [ns, text] : cases) EXPECT_EQ(format_elapsed(nanoseconds(ns)), text) << ns << " ns";
}

}  // namespace
