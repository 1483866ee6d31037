// The placement summary: for each family and size measured at more than
// one code placement, the median ns per value over the placements, the
// fastest and slowest placement, and the median's ratio to the median of
// floor_virtual_calls at that size. Knows nothing of Google Benchmark, so
// that its arithmetic can be checked on a handful of samples.
#ifndef VESSA_BENCH_PLACEMENT_SUMMARY_HPP
#define VESSA_BENCH_PLACEMENT_SUMMARY_HPP

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

struct placement_sample {
    std::string family;
    unsigned placement;
    std::int64_t size;
    double ns_per_value;
};

struct placement_summary_row {
    std::string family;
    std::int64_t size;
    std::size_t placements;
    double median;
    double fastest;
    double slowest;
    // Not a number when the floor was not measured at this size.
    double ratio_to_floor;
};

// Reads "family/placement:P/N"; anything else (a complexity fit, a family
// with no placement) is not a placement sample.
std::optional<placement_sample> placement_sample_named(const std::string& benchmark_name, double ns_per_value);

// Rows by size, then by family in the order the samples first name them.
// A median over an even count is the mean of the two middle values.
std::vector<placement_summary_row> summarize_placements(const std::vector<placement_sample>& samples);

void print_placement_summary(std::ostream& out, const std::vector<placement_summary_row>& rows);

#endif
