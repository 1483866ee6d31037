#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "placement_summary.hpp"

namespace {

TEST(placement_summary, gives_median_extremes_and_ratio_to_the_floor_per_family_and_size)
{
    const std::vector<placement_sample> samples{
        {"router_distribute", 0, 1024, 6.0},
        {"floor_virtual_calls", 0, 1024, 5.0},
        {"router_distribute", 1, 1024, 9.0},
        {"floor_virtual_calls", 1, 1024, 4.0},
        {"router_distribute", 2, 1024, 5.0},
        {"floor_virtual_calls", 2, 1024, 8.0},
        {"router_distribute", 3, 1024, 7.0},
        // One placement is no distribution: left out.
        {"router_distribute_range", 0, 1024, 3.0},
        // No floor at this size: no ratio.
        {"router_distribute", 0, 8, 2.0},
        {"router_distribute", 1, 8, 4.0},
    };
    const std::vector<placement_summary_row> rows = summarize_placements(samples);
    ASSERT_EQ(rows.size(), 3u);

    EXPECT_EQ(rows[0].family, "router_distribute");
    EXPECT_EQ(rows[0].size, 8);
    EXPECT_DOUBLE_EQ(rows[0].median, 3.0);
    EXPECT_TRUE(std::isnan(rows[0].ratio_to_floor));

    // Four placements: the median is the mean of the middle two.
    EXPECT_EQ(rows[1].family, "router_distribute");
    EXPECT_EQ(rows[1].size, 1024);
    EXPECT_EQ(rows[1].placements, 4u);
    EXPECT_DOUBLE_EQ(rows[1].median, 6.5);
    EXPECT_DOUBLE_EQ(rows[1].fastest, 5.0);
    EXPECT_DOUBLE_EQ(rows[1].slowest, 9.0);
    EXPECT_DOUBLE_EQ(rows[1].ratio_to_floor, 6.5 / 5.0);

    EXPECT_EQ(rows[2].family, "floor_virtual_calls");
    EXPECT_DOUBLE_EQ(rows[2].median, 5.0);
    EXPECT_DOUBLE_EQ(rows[2].ratio_to_floor, 1.0);
}

TEST(placement_summary, reads_only_the_names_of_placed_families)
{
    const auto sample = placement_sample_named("router_distribute_range/placement:12/1048576", 5.5);
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->family, "router_distribute_range");
    EXPECT_EQ(sample->placement, 12u);
    EXPECT_EQ(sample->size, 1048576);
    EXPECT_DOUBLE_EQ(sample->ns_per_value, 5.5);

    for (const char* name :
         {"router_distribute/placement:0_BigO", "signals2_first_taker/1024", "router_distribute/placement:x/8",
          "router_distribute/placement:3/", "router_distribute/placement:3/8/taker:none", "/placement:1/2"})
        EXPECT_FALSE(placement_sample_named(name, 1.0)) << name;
}

} // namespace
