// A sample of more than 2^31 iterations, kept apart from timer_test: its
// two billion calls to check() take seconds, so the default test preset
// leaves its label, `long`, to the CI presets.
#include <climits>
#include <cstdint>
#include <ctime>
#include <sstream>

#include <gtest/gtest.h>

#include "timer.hpp"

namespace {

std::time_t now = 1000;

std::time_t test_clock(std::time_t*) { return now; }

TEST(timer_count, counts_samples_beyond_32_bits_exactly)
{
    std::ostringstream out;
    timer t(out, test_clock);
    const std::int64_t huge = std::int64_t{INT_MAX} + 3;
    t.start_baseline(1);
    for (std::int64_t i = 1; i < huge; ++i)
        t.check();
    ++now;
    EXPECT_FALSE(t.check());
    t.report(true);
    EXPECT_EQ(out.str(), "2147483650 \n"
                         "Sorted counts:\n"
                         "2147483650 \n"
                         "Selected count: 2147483650\n"
                         "Baseline time: 4.65661e-07\n");
}

} // namespace
