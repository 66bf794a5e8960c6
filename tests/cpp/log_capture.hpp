// Test sink for the log facade: records every delivered record. Install it with a
// LogCaptureScope (one per test); records below `level` are reported as disabled.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "utils/log.hpp"

namespace kx::test {

struct CapturedRecord {
    log::Level level;
    std::string target;
    std::string message;
    std::string file;
    std::uint32_t line;
};

class LogCapture : public log::Sink {
public:
    explicit LogCapture(log::Level level = log::Level::Trace) : level_(level) {}

    bool enabled(log::Level level, std::string_view) const override { return level <= level_; }
    void log(const log::Record& r) override {
        std::lock_guard lock(mutex_);
        records_.push_back({r.level, std::string(r.target), std::string(r.message), r.file ? r.file : "", r.line});
    }

    std::vector<CapturedRecord> records() const {
        std::lock_guard lock(mutex_);
        return records_;
    }
    // Records at `level` or more severe, without Trace noise unless asked for.
    std::vector<std::string> messages(log::Level up_to = log::Level::Debug) const {
        std::vector<std::string> out;
        for (const auto& r : records())
            if (r.level <= up_to) out.push_back(r.message);
        return out;
    }
    std::size_t count(const std::string& message) const {
        return static_cast<std::size_t>(std::ranges::count(records(), message, &CapturedRecord::message));
    }

private:
    log::Level level_;
    mutable std::mutex mutex_;
    std::vector<CapturedRecord> records_;
};

class LogCaptureScope {
public:
    explicit LogCaptureScope(log::Sink& sink, log::Level max = log::Level::Trace) {
        log::reset_sink_for_tests();
        EXPECT_TRUE(log::set_sink(&sink));
        log::set_max_level(max);
    }
    ~LogCaptureScope() {
        log::reset_sink_for_tests();
        log::set_max_level(log::Level::Off);
    }
};

// A fixture whose tests each capture every record they cause in `log`.
class LogCapturingTest : public testing::Test {
protected:
    LogCapture log;
    LogCaptureScope scope{log};
};

}  // namespace kx::test
