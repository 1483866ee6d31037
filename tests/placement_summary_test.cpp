#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "placement_summary.hpp"
#include "ratio_interval.hpp"

namespace {

TEST(run_sample, reads_every_name_the_summary_uses_and_nothing_else)
{
    const auto placed = run_sample_named("router_distribute_range/placement:12/1048576", 5.5);
    ASSERT_TRUE(placed);
    EXPECT_EQ(placed->family, "router_distribute_range");
    EXPECT_EQ(placed->placement, 12u);
    EXPECT_FALSE(placed->repeat);
    EXPECT_EQ(placed->size, 1048576);
    EXPECT_DOUBLE_EQ(placed->ns_per_value, 5.5);

    const auto repeated = run_sample_named("floor_virtual_calls/placement:0/repeat:7/1024", 1.0);
    ASSERT_TRUE(repeated);
    EXPECT_EQ(repeated->placement, 0u);
    EXPECT_EQ(repeated->repeat, 7u);
    EXPECT_EQ(repeated->size, 1024);

    const auto axis = run_sample_named("sigc_first_taker/destinations:64/taker:random/repeat:2", 1.0);
    ASSERT_TRUE(axis);
    EXPECT_EQ(axis->destinations, 64u);
    EXPECT_EQ(axis->taker, "random");
    EXPECT_EQ(axis->repeat, 2u);
    EXPECT_FALSE(axis->size);

    for (const char* name : {"router_distribute/placement:0_BigO", "router_distribute/placement:x/8",
                             "router_distribute/placement:3/", "router_distribute/placement:3/8/taker:none",
                             "router_distribute/repeat:1/repeat:2/8", "router_distribute/round:1/8", "/placement:1/2",
                             "router_distribute/8/placement:1", "router_distribute/destinations:3"})
        EXPECT_FALSE(run_sample_named(name, 1.0)) << name;
}

// A placed family whose placements spread far beyond its repeats, the
// floor whose placements spread no more than its repeats, and a peer at
// one placement.
std::vector<run_sample> saved_sample()
{
    std::vector<run_sample> samples;
    const auto add = [&](const char* name, double ns) { samples.push_back(*run_sample_named(name, ns)); };
    const double router_placements[] = {10, 16, 12, 14};
    const double floor_placements[] = {9.9, 10.2, 10.0, 10.1};
    const double repeats[] = {10.0, 10.3, 10.1, 10.2};
    for (int i = 0; i < 4; ++i) {
        const std::string p = std::to_string(i);
        const std::string r = std::to_string(i + 1);
        add(("router_distribute/placement:" + p + "/1024").c_str(), router_placements[i]);
        add(("floor_virtual_calls/placement:" + p + "/1024").c_str(), floor_placements[i]);
        add(("router_distribute/placement:0/repeat:" + r + "/1024").c_str(), repeats[i]);
        add(("floor_virtual_calls/placement:0/repeat:" + r + "/1024").c_str(), repeats[i]);
        add(("sigc_first_taker/repeat:" + r + "/1024").c_str(), 10 * repeats[i]);
    }
    // Two more repetitions of placement 3: one placement, at their median.
    add("router_distribute/placement:3/1024", 30);
    add("router_distribute/placement:3/1024", 13);
    // The standard work at one size of the sweep: no spread, no row.
    add("router_distribute/placement:0/8", 3);
    return samples;
}

TEST(run_summary, sets_the_spread_over_placements_beside_the_noise_and_counts_placements)
{
    const run_summary summary = summarize_run(saved_sample());
    ASSERT_EQ(summary.rows.size(), 3u);

    const placement_summary_row& router = summary.rows[0];
    EXPECT_EQ(router.family, "router_distribute");
    EXPECT_EQ(router.size, 1024);
    EXPECT_EQ(router.placements.figures, (std::vector<double>{10, 16, 12, 14}));
    EXPECT_DOUBLE_EQ(router.placements.median(), 13);
    EXPECT_DOUBLE_EQ(router.placements.spread(), 0.6);
    EXPECT_DOUBLE_EQ(router.placements.quartile_spread(), (15.0 - 11.0) / 13);
    EXPECT_NEAR(router.repeats.spread(), 0.03, 1e-12);
    EXPECT_TRUE(router.placement_effect());
    EXPECT_DOUBLE_EQ(router.to_floor.ratio, 13 / 10.05);

    const placement_summary_row& floor = summary.rows[1];
    EXPECT_EQ(floor.family, "floor_virtual_calls");
    EXPECT_FALSE(floor.placement_effect()) << "quartiles 2 % apart over placements beside 2 % of noise";
    EXPECT_DOUBLE_EQ(floor.to_floor.ratio, 1);

    const placement_summary_row& peer = summary.rows[2];
    EXPECT_TRUE(peer.placements.figures.empty());
    EXPECT_DOUBLE_EQ(peer.to_floor.ratio, 101.5 / 10.05);

    ASSERT_EQ(summary.against_peers.size(), 1u);
    EXPECT_EQ(summary.against_peers[0].router, "router_distribute");
    EXPECT_EQ(summary.against_peers[0].peer, "sigc_first_taker");
    EXPECT_DOUBLE_EQ(summary.against_peers[0].factor.ratio, 101.5 / 13);
}

TEST(run_summary, takes_no_wild_placement_for_an_effect)
{
    std::vector<run_sample> samples;
    const double placements[] = {10.0, 10.1, 10.2, 30.0, 10.3, 10.0, 10.1, 10.2};
    const double repeats[] = {10.0, 10.3, 10.1, 10.2, 10.2, 10.0, 10.1, 10.3};
    for (int i = 0; i < 8; ++i) {
        samples.push_back({"function_chain", unsigned(i), {}, {}, {}, 1024, placements[i]});
        samples.push_back({"function_chain", 0u, unsigned(i + 1), {}, {}, 1024, repeats[i]});
    }
    const placement_summary_row row = summarize_run(samples).rows.at(0);
    EXPECT_GT(row.placements.spread(), 1.0);
    EXPECT_FALSE(row.placement_effect());
}

// Each point of the axis is compared, round by round, with the router and
// with the floor at the same point, never at another.
TEST(run_summary, compares_the_axis_with_the_router_and_the_floor_at_each_point)
{
    std::vector<run_sample> samples;
    for (unsigned round = 1; round <= 4; ++round) {
        for (const unsigned k : {3u, 64u}) {
            const std::string point
                = "/destinations:" + std::to_string(k) + "/taker:none/repeat:" + std::to_string(round);
            samples.push_back(*run_sample_named("router_distribute" + point, 8.0 * k));
            samples.push_back(*run_sample_named("floor_virtual_calls" + point, 10.0 * k));
            samples.push_back(*run_sample_named("router_batch" + point, 1.0 * k + round));
        }
    }
    for (const axis_comparison& p : summarize_run(samples).across_destinations) {
        if (p.family != "router_batch")
            continue;
        EXPECT_NEAR(p.to_floor.ratio, (p.destinations + 2.5) / (10.0 * p.destinations), 1e-9) << p.destinations;
        EXPECT_NEAR(p.to_router.ratio, (p.destinations + 2.5) / (8.0 * p.destinations), 1e-9) << p.destinations;
    }
}

std::vector<double> scaled(const std::vector<double>& figures, double factor)
{
    std::vector<double> result;
    for (const double figure : figures)
        result.push_back(factor * figure);
    return result;
}

TEST(ratio_interval, holds_one_only_for_figures_of_one_level)
{
    const std::vector<double> one_level{10.0, 10.4, 9.8, 10.1, 10.3, 9.9, 10.2, 10.0};
    const std::vector<double> shuffled{10.2, 9.9, 10.0, 10.3, 9.8, 10.1, 10.0, 10.4};
    const ratio_estimate level = median_ratio(one_level, shuffled);
    EXPECT_DOUBLE_EQ(level.ratio, 1);
    EXPECT_LT(level.low, 1);
    EXPECT_GT(level.high, 1);
    EXPECT_EQ(ratio_words(level), "level");

    const std::vector<double> slower = scaled(shuffled, 1.1);
    const ratio_estimate apart = median_ratio(slower, one_level);
    EXPECT_DOUBLE_EQ(apart.ratio, 1.1);
    EXPECT_GT(apart.low, 1);
    EXPECT_GT(apart.high, apart.ratio);
    EXPECT_EQ(ratio_words(median_ratio(one_level, slower)).rfind("faster by ", 0), 0u);

    EXPECT_TRUE(std::isnan(median_ratio({1.0}, one_level).low)) << "one figure is no interval";
}

TEST(ratio_interval, takes_figures_of_equal_counts_as_pairs)
{
    // A drift that moves both sides alike: paired, the ratio is exactly
    // 1.25 in every resample.
    const std::vector<double> drifting{10, 14, 9, 20, 12, 17, 11, 15};
    const std::vector<double> slower = scaled(drifting, 1.25);
    const ratio_estimate paired = median_ratio(slower, drifting);
    EXPECT_DOUBLE_EQ(paired.low, 1.25);
    EXPECT_DOUBLE_EQ(paired.high, 1.25);

    const std::vector<double> one_fewer(drifting.begin(), drifting.end() - 1);
    const ratio_estimate apart = median_ratio(slower, one_fewer);
    EXPECT_LT(apart.low, 1.1);
    EXPECT_GT(apart.high, 1.4);
}

TEST(ratio_interval, words_say_how_far_apart)
{
    EXPECT_EQ(ratio_words({0.85, 0.8, 0.9}), "faster by 10.0 to 20.0 %");
    EXPECT_EQ(ratio_words({1.05, 1.02, 1.09}), "slower by 2.0 to 9.0 %");
    EXPECT_EQ(ratio_words({2.7, 1.9, 3.25}), "slower, 1.9 to 3.2 times");
    EXPECT_EQ(ratio_words({1.0, 0.99, 1.0}), "level");
}

} // namespace
