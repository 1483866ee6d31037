#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "paced_changes.hpp"

namespace {

using std::chrono::steady_clock;

TEST(paced_changes, keeps_to_its_schedule_and_stops_with_its_owner)
{
    std::atomic<int> calls{0};
    const steady_clock::time_point start = steady_clock::now();
    {
        // Two changes a call: a call every 100 microseconds.
        const paced_changes writer(20000, [&calls] { ++calls; });
        while (calls < 20)
            std::this_thread::yield();
    }
    const int made = calls;
    // The first call at once, then one a period at most, however the
    // thread was woken.
    const auto periods = (steady_clock::now() - start) / std::chrono::microseconds(100);
    EXPECT_LE(made, periods + 1);

    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(calls, made) << "a call after the writer was destroyed";
}

} // namespace
