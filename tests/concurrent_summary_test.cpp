#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "concurrent_summary.hpp"
#include "scale_summary.hpp"

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

TEST(scale_summary, reads_the_names_of_its_runs_and_nothing_else)
{
    const auto cycles = objects_run_named("sigc_objects/destinations:8/cycles/repeat:2/real_time/threads:1");
    ASSERT_TRUE(cycles);
    EXPECT_EQ(cycles->family, "sigc_objects");
    EXPECT_TRUE(cycles->cycles);
    EXPECT_EQ(cycles->destinations, 8u);
    const auto changes = objects_run_named("router_objects/destinations:4/changes/repeat:7/manual_time/threads:2");
    ASSERT_TRUE(changes);
    EXPECT_FALSE(changes->cycles);
    EXPECT_EQ(changes->repeat, 7u);
    EXPECT_EQ(changes->threads, 2u);
    for (const char* name : {"f/destinations:8/cycles/repeat:2/manual_time/threads:1",
                             "f/destinations:8/changes/repeat:2/real_time/threads:1",
                             "concurrent_router_threads/destinations:64/taker:random/repeat:1/real_time/threads:2",
                             "f/destinations:8/cycles/real_time/threads:1"})
        EXPECT_FALSE(objects_run_named(name)) << name;

    const auto routers = routers_sample_named("floor_virtual_calls/routers:1000/repeat:3", 2.5);
    ASSERT_TRUE(routers);
    EXPECT_EQ(routers->routers, 1000u);
    EXPECT_EQ(routers->repeat, 3u);
    for (const char* name : {"router_distribute/routers:10", "router_distribute/destinations:3/taker:none/repeat:1",
                             "router_distribute/routers:10/repeat:1/1024"})
        EXPECT_FALSE(routers_sample_named(name, 1)) << name;
}

// Against a model: random families at random points, each with a figure
// of its own there times its round's drift, some rounds missing, in random
// order. A ratio taken within the rounds both have is exact; one taken
// across rounds is not, and none is taken where no round is shared.
TEST(scale_summary, sets_the_concurrent_router_over_each_family_within_rounds)
{
    const double drift[] = {1.0, 0.5, 1.5, 0.8, 1.25};
    std::mt19937 engine(23);
    const auto chance = [&engine](double p) { return std::uniform_real_distribution<double>(0, 1)(engine) < p; };
    // Point, family, figures by round; and the family's own figure there.
    std::map<std::string, std::map<std::string, by_repeat>> model;
    std::map<std::string, double> own_figure;
    std::vector<routers_sample> routers;
    std::vector<objects_sample> objects;
    const auto add = [&](const std::string& point, const std::string& family, auto sample_in_round) {
        if (chance(0.2))
            return;
        const double own = std::uniform_real_distribution<double>(1, 1000)(engine);
        own_figure[point + family] = own;
        for (unsigned round = 1; round <= 5; ++round) {
            if (chance(0.6))
                sample_in_round(round, model[point][family][round] = own * drift[round - 1]);
        }
    };
    for (const char* family : {"concurrent_router_distribute", "router_distribute", "floor_virtual_calls"}) {
        for (const unsigned count : {1u, 100u, 10000u})
            add(std::to_string(count), family, [&](unsigned round, double figure) {
                const std::string name
                    = std::string(family) + "/routers:" + std::to_string(count) + "/repeat:" + std::to_string(round);
                routers.push_back(*routers_sample_named(name, figure));
            });
    }
    const objects_measure measures[]
        = {objects_measure::connects, objects_measure::disconnects, objects_measure::cycles};
    for (const char* family : {"concurrent_router_objects", "router_objects", "signals2_objects"}) {
        for (const objects_measure measure : measures) {
            for (const unsigned threads : {1u, 2u}) {
                for (const unsigned destinations : {2u, 64u}) {
                    const std::string point = std::to_string(static_cast<int>(measure)) + "/" + std::to_string(threads)
                                              + "/" + std::to_string(destinations);
                    const bool cycles = measure == objects_measure::cycles;
                    add(point, family, [&](unsigned round, double figure) {
                        const std::string name
                            = std::string(family) + "/destinations:" + std::to_string(destinations)
                              + (cycles ? "/cycles" : "/changes") + "/repeat:" + std::to_string(round)
                              + (cycles ? "/real_time" : "/manual_time") + "/threads:" + std::to_string(threads);
                        objects.push_back({*objects_run_named(name), measure, figure});
                    });
                }
            }
        }
    }
    std::shuffle(routers.begin(), routers.end(), engine);
    std::shuffle(objects.begin(), objects.end(), engine);
    const scale_summary summary = summarize_scale(routers, objects);

    std::vector<std::pair<std::string, family_ratio>> rows;
    for (const routers_ratio& row : summary.routers)
        rows.emplace_back(std::to_string(row.routers), row.ratio);
    for (const objects_ratio& row : summary.objects)
        rows.emplace_back(std::to_string(static_cast<int>(row.measure)) + "/" + std::to_string(row.threads) + "/"
                              + std::to_string(row.destinations),
                          row.ratio);
    std::size_t expected_rows = 0;
    // Named, not bound: lambdas capture no structured binding before C++20.
    for (const auto& at_point : model) {
        const std::string& point = at_point.first;
        for (const auto& subject_figures_by_round : at_point.second) {
            const std::string& subject = subject_figures_by_round.first;
            const by_repeat& subject_rounds = subject_figures_by_round.second;
            if (subject != "concurrent_router_distribute" && subject != "concurrent_router_objects")
                continue;
            std::vector<double> subject_figures;
            for (const auto& round : subject_rounds)
                subject_figures.push_back(round.second);
            for (const auto& other : at_point.second) {
                const std::string& family = other.first;
                const by_repeat& rounds = other.second;
                if (family == subject)
                    continue;
                ++expected_rows;
                const auto row = std::find_if(rows.begin(), rows.end(), [&](const auto& r) {
                    return r.first == point && r.second.against == family;
                });
                ASSERT_NE(row, rows.end()) << point << " " << family;
                EXPECT_EQ(row->second.family, subject);
                EXPECT_DOUBLE_EQ(row->second.median, median_of(subject_figures));
                const bool shared = std::any_of(rounds.begin(), rounds.end(),
                                                [&](const auto& round) { return subject_rounds.count(round.first); });
                if (!shared) {
                    EXPECT_TRUE(std::isnan(row->second.ratio.ratio)) << point << " " << family;
                    continue;
                }
                const double exact = own_figure[point + subject] / own_figure[point + family];
                EXPECT_NEAR(row->second.ratio.ratio, exact, 1e-9 * exact) << point << " " << family;
                if (!std::isnan(row->second.ratio.low)) {
                    EXPECT_NEAR(row->second.ratio.low, exact, 1e-9 * exact) << point << " " << family;
                    EXPECT_NEAR(row->second.ratio.high, exact, 1e-9 * exact) << point << " " << family;
                }
            }
        }
    }
    EXPECT_EQ(rows.size(), expected_rows);
}

} // namespace
