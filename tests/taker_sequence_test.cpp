#include <vector>

#include <gtest/gtest.h>

#include "axis_work.hpp"

namespace {

// Every family asks axis_values for its input, so the comparison holds
// only if the answer is the same each time and means what it should.
TEST(taker_sequence, is_the_same_for_every_family_and_spreads_over_every_taker)
{
    for (const int listed : axis_listed_counts) {
        const std::vector<int> drawn = axis_values(listed, taker::random);
        EXPECT_EQ(drawn, axis_values(listed, taker::random)) << "K = " << listed;

        std::vector<int> taken(static_cast<std::size_t>(listed) + 1);
        for (const int value : drawn) {
            ASSERT_GE(value, 0);
            ASSERT_LE(value, listed);
            ++taken[static_cast<std::size_t>(value)];
        }
        const int share = axis_values_per_pass / (listed + 1);
        for (const int count : taken) {
            EXPECT_GT(count, share / 2) << "K = " << listed;
            EXPECT_LT(count, share * 2) << "K = " << listed;
        }

        for (const int value : axis_values(listed, taker::none))
            ASSERT_GE(value, listed) << "a listed destination would take " << value;
    }
}

} // namespace
