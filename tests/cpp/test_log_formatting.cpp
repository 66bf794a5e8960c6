// Records that would be dropped are never formatted: their arguments' formatters do not run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "log_capture.hpp"

static int formats_run = 0;  // formatters of Counted that ran
struct Counted {};

template <>
struct fmt::formatter<Counted> {
    constexpr auto parse(fmt::format_parse_context& ctx) { return ctx.begin(); }
    template <typename Ctx>
    auto format(const Counted&, Ctx& ctx) const {
        ++formats_run;
        return fmt::format_to(ctx.out(), "counted");
    }
};

using kx::log::Level;

TEST(LogFormatting, RecordsThatWouldBeDroppedAreNeverFormatted) {
    kx::test::LogCapture warn_sink(Level::Warn);
    {
        kx::test::LogCaptureScope scope(warn_sink, Level::Debug);
        KX_INFO("t", "{}", Counted{});  // the sink would drop these
        KX_DEBUG("t", "{}", Counted{});
        KX_WARN("t", "{}", Counted{});
        KX_ERROR("t", "x {}", Counted{});
        EXPECT_EQ(warn_sink.messages(), (std::vector<std::string>{"counted", "x counted"}));
    }
    kx::test::LogCapture every_sink;
    {
        kx::test::LogCaptureScope scope(every_sink, Level::Debug);
        KX_TRACE("t", "{}", Counted{});  // above the maximum level, though the sink would take it
        KX_DEBUG("t", "{}", Counted{});
        EXPECT_EQ(every_sink.messages(Level::Trace), std::vector<std::string>{"counted"});
    }
    KX_ERROR("t", "{}", Counted{});  // no sink
    EXPECT_EQ(formats_run, 3);
}
