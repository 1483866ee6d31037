// The summary of the concurrent router's runs, printed after the placement
// summary:
// - on one thread, concurrent_router_distribute and its range call against
//   the floor and against the router's same call, on timed_test1c's work
//   and at the repeated points of the destination axis;
// - from T threads, each family's values per second over its own at one
//   thread, and the concurrent router's over each other family's;
// - with one more thread making changes, the share of its values per
//   second each family keeps, and the concurrent router's share over the
//   floor's, whose writer makes the same changes;
// - the cost of one change, with threads routing meanwhile over without.
// Every ratio comes with its 95 % interval, taken over the rounds, each
// round's figures paired. Knows nothing of Google Benchmark.
#ifndef VESSA_BENCH_CONCURRENT_SUMMARY_HPP
#define VESSA_BENCH_CONCURRENT_SUMMARY_HPP

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "placement_summary.hpp"
#include "ratio_interval.hpp"

// A threaded entry: FAMILY, then threads:T, repeat:R and churn:C among
// the parts of its work, which are kept in order ("1024",
// "destinations:3/taker:none"); real_time is passed over.
struct thread_sample {
    std::string family;
    std::string work;
    // Changes a second made meanwhile; 0 for none.
    unsigned churn;
    unsigned threads;
    unsigned repeat;
    double values_per_second;
};

// Not a threaded entry: no threads: or repeat: part, or no work.
std::optional<thread_sample> thread_sample_named(const std::string& benchmark_name, double values_per_second);

// CHANGE/routing_threads:N/repeat:R, manual_time passed over.
struct change_sample {
    std::string change;
    unsigned routing_threads;
    unsigned repeat;
    double ns_per_change;
};

std::optional<change_sample> change_sample_named(const std::string& benchmark_name, double ns_per_change);

struct one_thread_comparison {
    std::string family;
    // "N = 1024" or "K = 3, taker:none".
    std::string work;
    double median_ns_per_value;
    ratio_estimate to_floor;
    // router_distribute for the call per value, router_distribute_range
    // for the range.
    std::string counterpart;
    ratio_estimate to_counterpart;
};

// Values per second of family at work, churn and threads, over those of
// what it is compared with.
struct throughput_ratio {
    std::string family;
    std::string work;
    unsigned churn;
    unsigned threads;
    double median_values_per_second;
    std::string against;
    ratio_estimate ratio;
};

struct change_cost {
    std::string change;
    unsigned routing_threads;
    figure_spread ns_per_change;
    // Over the same change with no thread routing; none for that one.
    ratio_estimate to_alone;
};

struct concurrent_summary {
    std::vector<one_thread_comparison> one_thread;
    // Against the same family at one thread.
    std::vector<throughput_ratio> scaling;
    // concurrent_router_threads against each other family, without changes.
    std::vector<throughput_ratio> against_families;
    // With changes against without, the same family and threads.
    std::vector<throughput_ratio> kept;
    // concurrent_router_threads' kept share over the floor's.
    std::vector<throughput_ratio> kept_against_floor;
    std::vector<change_cost> changes;
};

concurrent_summary summarize_concurrent(const run_summary& placed, const std::vector<thread_sample>& threaded,
                                        const std::vector<change_sample>& changes);

void print_concurrent_summary(std::ostream& out, const concurrent_summary& summary);

#endif
