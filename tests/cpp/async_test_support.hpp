// Helpers shared by the tests of the coroutine primitives.
#pragma once

#include <chrono>
#include <future>

#include <asio.hpp>
#include <gtest/gtest.h>

namespace kx::test {

template <typename T>
T wait_for(std::future<T>& f) {
    EXPECT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return f.get();
}

// Whether the work behind `f` ended with operation_aborted.
template <typename T>
bool ended_aborted(std::future<T>& f) {
    try {
        wait_for(f);
    } catch (const asio::system_error& err) {
        return err.code() == asio::error::operation_aborted;
    }
    return false;
}

}  // namespace kx::test
