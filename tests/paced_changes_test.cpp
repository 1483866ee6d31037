#include <algorithm>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "paced_changes.hpp"
#include "watchdog.hpp"

namespace {

using time_point = std::chrono::steady_clock::time_point;
using std::chrono::microseconds;

// A clock the test keeps, read and moved by the writer's thread alone: a
// wait moves the time on to its deadline at once, and the fourth wakes
// two and a half periods late.
struct kept_clock {
    pace_clock source()
    {
        return {[this] { return now; },
                [this](time_point due) {
                    deadlines.push_back(due);
                    now = std::max(now, due) + (deadlines.size() == 4 ? microseconds(250) : microseconds(0));
                }};
    }

    time_point now = time_point() + std::chrono::hours(1);
    std::vector<time_point> deadlines;
    std::vector<time_point> calls; // the time of each call
};

TEST(paced_changes, keeps_to_its_schedule_and_stops_with_its_owner)
{
    kept_clock clock;
    const time_point start = clock.now;
    {
        watchdog w("ten calls");
        // Two changes a call: a call every 100 microseconds.
        const paced_changes writer(
            20000, [&clock] { clock.calls.push_back(clock.now); }, clock.source());
        while (writer.changes_made() < 20)
            std::this_thread::yield();
        w.now_waiting_for("the writer to stop");
    }
    // The deadlines hold however late the thread wakes, and no call runs
    // ahead of its own.
    ASSERT_EQ(clock.calls.size(), clock.deadlines.size());
    ASSERT_GE(clock.calls.size(), 10u);
    for (std::size_t k = 0; k < clock.deadlines.size(); ++k) {
        ASSERT_EQ(clock.deadlines[k], start + static_cast<int>(k) * microseconds(100)) << "deadline " << k;
        ASSERT_GE(clock.calls[k], clock.deadlines[k]) << "call " << k;
    }
}

} // namespace
