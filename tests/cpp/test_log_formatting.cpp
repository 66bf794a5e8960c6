// Records that the sink would drop are never formatted: their arguments' formatters
// do not run.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include <fmt/format.h>

#include "utils/log.hpp"

namespace {

struct Counted {
    static inline int formats = 0;
};

}  // namespace

template <>
struct fmt::formatter<Counted> {
    constexpr auto parse(fmt::format_parse_context& ctx) { return ctx.begin(); }
    template <typename Ctx>
    auto format(const Counted&, Ctx& ctx) const {
        ++Counted::formats;
        return fmt::format_to(ctx.out(), "counted");
    }
};

namespace {

using kx::log::Level;

// Per-target levels, as the logging bridge caches them.
class TargetLevelSink : public kx::log::Sink {
public:
    bool enabled(Level level, std::string_view target) const override {
        auto it = levels.find(std::string(target));
        return it != levels.end() && level <= it->second;
    }
    void log(const kx::log::Record& r) override { delivered.emplace_back(r.message); }
    std::map<std::string, Level> levels;
    std::vector<std::string> delivered;
};

class LogFormatting : public testing::Test {
protected:
    void SetUp() override {
        Counted::formats = 0;
        sink.levels = {{"quiet", Level::Warn}, {"chatty", Level::Trace}};
        kx::log::reset_sink_for_tests();
        ASSERT_TRUE(kx::log::set_sink(&sink));
        kx::log::set_max_level(Level::Debug);
    }
    void TearDown() override {
        kx::log::reset_sink_for_tests();
        kx::log::set_max_level(Level::Off);
    }
    TargetLevelSink sink;
};

TEST_F(LogFormatting, RecordsThatWouldBeDroppedAreNeverFormatted) {
    KX_INFO("quiet", "{}", Counted{});
    KX_DEBUG("quiet", "{}", Counted{});
    KX_INFO("unknown target", "{}", Counted{});
    EXPECT_EQ(Counted::formats, 0);
    EXPECT_TRUE(sink.delivered.empty());
    KX_WARN("quiet", "{}", Counted{});
    KX_ERROR("quiet", "x {}", Counted{});
    EXPECT_EQ(Counted::formats, 2);
    EXPECT_EQ(sink.delivered, (std::vector<std::string>{"counted", "x counted"}));

    // Above the maximum level, even if the sink would take it.
    KX_TRACE("chatty", "{}", Counted{});
    EXPECT_EQ(Counted::formats, 2);
    KX_DEBUG("chatty", "{}", Counted{});
    EXPECT_EQ(Counted::formats, 3);

    // Without a sink.
    kx::log::reset_sink_for_tests();
    KX_ERROR("chatty", "{}", Counted{});
    EXPECT_EQ(Counted::formats, 3);
}

}  // namespace
