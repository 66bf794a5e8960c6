// Discovery: the elapsed-time text of the scan's log records.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>

#include "utils/mdns.hpp"

namespace {

using kx::utils::mdns::format_elapsed;
using std::chrono::nanoseconds;

struct ElapsedCase {
    long long ns;
    std::string text;
};

void PrintTo(const ElapsedCase& c, std::ostream* os) { *os << c.ns << " ns"; }

class ElapsedText : public ::testing::TestWithParam<ElapsedCase> {};

TEST_P(ElapsedText, UsesTheLargestUnitOfAtLeastOne) {
    EXPECT_EQ(format_elapsed(nanoseconds(GetParam().ns)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Units, ElapsedText,
    ::testing::Values(ElapsedCase{1'500'000'000, "1.5s"}, ElapsedCase{250'000'000, "250ms"},
                      ElapsedCase{12'345, "12.345µs"}, ElapsedCase{800, "800ns"}, ElapsedCase{0, "0ns"},
                      ElapsedCase{-5, "0ns"}, ElapsedCase{1, "1ns"}, ElapsedCase{999, "999ns"},
                      ElapsedCase{1'000, "1µs"}, ElapsedCase{1'000'001, "1.000001ms"},
                      ElapsedCase{999'999'999, "999.999999ms"}, ElapsedCase{1'000'000'001, "1.000000001s"},
                      ElapsedCase{90'000'000'000, "90s"}, ElapsedCase{3'600'250'000'000, "3600.25s"}));

}  // namespace
