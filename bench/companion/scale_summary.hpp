// The summary of the runs that grow a program rather than a router,
// printed after the concurrent router's:
// - the routers axis: concurrent_router_distribute's ns per value over
//   router_distribute's and over floor_virtual_calls' at each number of
//   routers;
// - objects that come and go: concurrent_router_objects' connects,
//   disconnects and cycles per second over each other family's, at each
//   number of destinations and of threads.
// Every ratio is taken within rounds, with its 95 % interval. Knows
// nothing of Google Benchmark.
#ifndef VESSA_BENCH_SCALE_SUMMARY_HPP
#define VESSA_BENCH_SCALE_SUMMARY_HPP

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "ratio_interval.hpp"

// FAMILY/routers:R/repeat:K.
struct routers_sample {
    std::string family;
    unsigned routers;
    unsigned repeat;
    double ns_per_value;
};

std::optional<routers_sample> routers_sample_named(const std::string& benchmark_name, double ns_per_value);

enum class objects_measure { connects, disconnects, cycles };

// FAMILY/destinations:N/cycles/repeat:R/real_time/threads:T, whose figure
// is cycles per second, or FAMILY/destinations:N/changes/repeat:R/
// manual_time/threads:T, whose figures are connects and disconnects per
// second.
struct objects_run {
    std::string family;
    bool cycles;
    unsigned destinations;
    unsigned threads;
    unsigned repeat;
};

std::optional<objects_run> objects_run_named(const std::string& benchmark_name);

struct objects_sample {
    objects_run run;
    objects_measure measure;
    double per_second;
};

// A family's median over another's at one point, the pairs taken within
// rounds.
struct family_ratio {
    std::string family;
    double median;
    std::string against;
    double against_median;
    ratio_estimate ratio;
};

struct routers_ratio {
    unsigned routers;
    family_ratio ratio;
};

struct objects_ratio {
    objects_measure measure;
    unsigned threads;
    unsigned destinations;
    family_ratio ratio;
};

struct scale_summary {
    std::vector<routers_ratio> routers;
    std::vector<objects_ratio> objects;
};

scale_summary summarize_scale(const std::vector<routers_sample>& routers, const std::vector<objects_sample>& objects);

void print_scale_summary(std::ostream& out, const scale_summary& summary);

#endif
