// The summary printed after a run, read from the entries' names and their
// ns per value:
// - per family and size of timed_test1c's work, the spread over code
//   placements beside the spread over repeats of one placement (the
//   noise), and the median's ratio to floor_virtual_calls;
// - each router family against each family timed at one placement (the
//   peers) on that work;
// - at the repeated points of the destination axis, every family against
//   router_distribute.
// Every ratio comes with its 95 % interval (ratio_interval.hpp). Knows
// nothing of Google Benchmark, so that its arithmetic can be checked on a
// handful of figures.
#ifndef VESSA_BENCH_PLACEMENT_SUMMARY_HPP
#define VESSA_BENCH_PLACEMENT_SUMMARY_HPP

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "ratio_interval.hpp"

// An entry, by the parts of its name: FAMILY then any of placement:P,
// repeat:R, destinations:K, taker:PATTERN, then N for the sizes of
// timed_test1c's work.
struct run_sample {
    std::string family;
    std::optional<unsigned> placement;
    std::optional<unsigned> repeat;
    std::optional<unsigned> destinations;
    std::string taker;
    std::optional<std::int64_t> size;
    double ns_per_value;
};

// Not a sample: a name with an unknown part, a part out of place or a
// number that does not read.
std::optional<run_sample> run_sample_named(const std::string& benchmark_name, double ns_per_value);

// Figures of one family and size: one per placement or per repeat, each
// the median of its repetitions, in the order they ran.
struct figure_spread {
    std::vector<double> figures;

    double median() const;
    double fastest() const;
    double slowest() const;
    // slowest / fastest - 1.
    double spread() const;
    // The interquartile range over the median, the quartiles being the
    // medians of the lower and the upper half: unlike spread(), not moved
    // by one wild figure.
    double quartile_spread() const;
};

struct placement_summary_row {
    std::string family;
    std::int64_t size;
    figure_spread placements;
    figure_spread repeats;
    // Over placements, or over repeats for a family at one placement.
    ratio_estimate to_floor;

    // The placements' quartile spread is more than twice the repeats'.
    bool placement_effect() const;
};

struct peer_comparison {
    std::string router;
    std::string peer;
    std::int64_t size;
    // peer / router.
    ratio_estimate factor;
};

struct axis_comparison {
    std::string family;
    unsigned destinations;
    std::string taker;
    figure_spread figures;
    // family / router_distribute, and family / floor_virtual_calls.
    ratio_estimate to_router;
    ratio_estimate to_floor;
};

struct run_summary {
    // By size, then by family in the order of the samples.
    std::vector<placement_summary_row> rows;
    std::vector<peer_comparison> against_peers;
    std::vector<axis_comparison> across_destinations;
};

run_summary summarize_run(const std::vector<run_sample>& samples);

void print_run_summary(std::ostream& out, const run_summary& summary);

#endif
