#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "concurrent_summary.hpp"

namespace {

TEST(thread_sample, reads_threaded_names_and_nothing_else)
{
    const auto churned
        = thread_sample_named("concurrent_router_threads/churn:10000/repeat:3/1024/real_time/threads:2", 5e7);
    ASSERT_TRUE(churned);
    EXPECT_EQ(churned->family, "concurrent_router_threads");
    EXPECT_EQ(churned->work, "1024");
    EXPECT_EQ(churned->churn, 10000u);
    EXPECT_EQ(churned->repeat, 3u);
    EXPECT_EQ(churned->threads, 2u);
    EXPECT_DOUBLE_EQ(churned->values_per_second, 5e7);

    const auto axis
        = thread_sample_named("router_mutex_threads/destinations:64/taker:random/repeat:1/real_time/threads:1", 1);
    ASSERT_TRUE(axis);
    EXPECT_EQ(axis->work, "destinations:64/taker:random");
    EXPECT_EQ(axis->churn, 0u);

    for (const char* name : {"router_distribute/placement:0/repeat:1/1024", "f/repeat:1/real_time/threads:2",
                             "f/repeat:1/1024/threads:1/threads:2", "f/repeat:x/1024/threads:1",
                             "f/repeat:1/1024/threads:", "/repeat:1/1024/threads:1", "f/repeat:1//1024/threads:1"})
        EXPECT_FALSE(thread_sample_named(name, 1)) << name;
}

TEST(change_sample, reads_a_change_with_its_routing_threads)
{
    const auto change
        = change_sample_named("concurrent_router_remove_and_wait/routing_threads:1/repeat:4/manual_time", 900);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->change, "concurrent_router_remove_and_wait");
    EXPECT_EQ(change->routing_threads, 1u);
    EXPECT_EQ(change->repeat, 4u);
    for (const char* name : {"concurrent_router_add/routing_threads:1/manual_time",
                             "concurrent_router_add/routing_threads:1/repeat:1/1024",
                             "concurrent_router_threads/repeat:1/1024/real_time/threads:1"})
        EXPECT_FALSE(change_sample_named(name, 1)) << name;
}

// Three rounds whose machine drifts: every figure of round r is scaled by
// drift[r], so that only ratios taken within a round come out exact.
std::vector<thread_sample> drifting_rounds()
{
    const double drift[] = {1.0, 0.5, 1.5};
    std::vector<thread_sample> samples;
    const auto add = [&](const char* family, unsigned churn, unsigned threads, double figure) {
        for (unsigned r = 0; r < 3; ++r)
            samples.push_back({family, "1024", churn, threads, r + 1, drift[r] * figure});
    };
    add("concurrent_router_threads", 0, 1, 100);
    add("concurrent_router_threads", 0, 2, 190);
    add("concurrent_router_threads", 10000, 2, 152);
    add("router_mutex_threads", 0, 2, 20);
    add("floor_virtual_calls_threads", 0, 2, 400);
    add("floor_virtual_calls_threads", 10000, 2, 360);
    return samples;
}

TEST(concurrent_summary, takes_each_throughput_ratio_within_a_round)
{
    const concurrent_summary summary = summarize_concurrent({}, drifting_rounds(), {});

    ASSERT_EQ(summary.scaling.size(), 1u);
    EXPECT_EQ(summary.scaling[0].threads, 2u);
    EXPECT_DOUBLE_EQ(summary.scaling[0].median_values_per_second, 190);
    EXPECT_DOUBLE_EQ(summary.scaling[0].ratio.low, 1.9);
    EXPECT_DOUBLE_EQ(summary.scaling[0].ratio.high, 1.9);

    ASSERT_EQ(summary.against_families.size(), 2u);
    EXPECT_EQ(summary.against_families[0].against, "floor_virtual_calls_threads");
    EXPECT_DOUBLE_EQ(summary.against_families[0].ratio.ratio, 190.0 / 400);
    EXPECT_EQ(summary.against_families[1].against, "router_mutex_threads");
    EXPECT_DOUBLE_EQ(summary.against_families[1].ratio.high, 9.5);

    ASSERT_EQ(summary.kept.size(), 2u);
    EXPECT_EQ(summary.kept[0].family, "concurrent_router_threads");
    EXPECT_DOUBLE_EQ(summary.kept[0].ratio.low, 0.8);
    ASSERT_EQ(summary.kept_against_floor.size(), 1u);
    EXPECT_EQ(summary.kept_against_floor[0].churn, 10000u);
    EXPECT_DOUBLE_EQ(summary.kept_against_floor[0].ratio.low, 0.8 / 0.9);
    EXPECT_DOUBLE_EQ(summary.kept_against_floor[0].ratio.high, 0.8 / 0.9);
}

TEST(concurrent_summary, sets_each_change_beside_the_same_change_with_no_routing)
{
    std::vector<change_sample> samples;
    for (unsigned r = 1; r <= 3; ++r) {
        samples.push_back({"concurrent_router_add", 0, r, 1000.0 * r});
        samples.push_back({"concurrent_router_add", 1, r, 1500.0 * r});
    }
    const concurrent_summary summary = summarize_concurrent({}, {}, samples);
    ASSERT_EQ(summary.changes.size(), 2u);
    EXPECT_TRUE(std::isnan(summary.changes[0].to_alone.ratio));
    EXPECT_DOUBLE_EQ(summary.changes[1].ns_per_change.median(), 3000);
    EXPECT_DOUBLE_EQ(summary.changes[1].to_alone.low, 1.5);
}

TEST(concurrent_summary, sets_the_calls_on_one_thread_beside_the_floor_and_the_router)
{
    std::vector<run_sample> samples;
    for (unsigned p = 0; p < 4; ++p) {
        samples.push_back({"concurrent_router_distribute", p, {}, {}, {}, 1024, 11.0 + p});
        samples.push_back({"router_distribute", p, {}, {}, {}, 1024, 10.0 + p});
        samples.push_back({"floor_virtual_calls", p, {}, {}, {}, 1024, 8.0 + p});
    }
    const concurrent_summary summary = summarize_concurrent(summarize_run(samples), {}, {});
    ASSERT_EQ(summary.one_thread.size(), 1u);
    EXPECT_EQ(summary.one_thread[0].work, "N = 1024");
    EXPECT_DOUBLE_EQ(summary.one_thread[0].median_ns_per_value, 12.5);
    EXPECT_DOUBLE_EQ(summary.one_thread[0].to_floor.ratio, 12.5 / 9.5);
    EXPECT_EQ(summary.one_thread[0].counterpart, "router_distribute");
    EXPECT_DOUBLE_EQ(summary.one_thread[0].to_counterpart.ratio, 12.5 / 11.5);
}

} // namespace
