// The order and the names of the experiments.
#include <string>

#include "families.hpp"
#include "placement.hpp"
#include "routing_work.hpp"

namespace {

benchmark::internal::Benchmark* at_both_sizes(benchmark::internal::Benchmark* b)
{
    return b->Arg(small_size)->Arg(standard_size);
}

benchmark::internal::Benchmark* over_every_size(benchmark::internal::Benchmark* b)
{
    return b->RangeMultiplier(2)->Range(1, standard_size)->Complexity(benchmark::oN);
}

void register_placement(const std::vector<routing_family>& families, unsigned placement)
{
    for (const routing_family& family : families) {
        if (!family.placed)
            continue;
        const std::string name = std::string(family.name) + "/placement:" + std::to_string(placement);
        benchmark::internal::Benchmark* const placed
            = benchmark::RegisterBenchmark(name.c_str(), family.placed, placement);
        if (placement == 0)
            over_every_size(placed);
        else
            at_both_sizes(placed);
    }
}

// Repeat R, the control beside the placement sweep: placement 0 of every
// placed family again, and the standard work of every other.
void register_repeat(const std::vector<routing_family>& families, unsigned repeat)
{
    const std::string suffix = "repeat:" + std::to_string(repeat);
    for (const routing_family& family : families) {
        if (family.placed)
            at_both_sizes(benchmark::RegisterBenchmark((std::string(family.name) + "/placement:0/" + suffix).c_str(),
                                                       family.placed, 0u));
        else if (family.standard_work)
            at_both_sizes(
                benchmark::RegisterBenchmark((std::string(family.name) + "/" + suffix).c_str(), family.standard_work));
    }
}

void register_axis_point(const std::vector<routing_family>& families, int listed, const std::string& suffix)
{
    for (const taker pattern : {taker::none, taker::random}) {
        for (const routing_family& family : families) {
            if (!family.across_destinations)
                continue;
            const std::string name = std::string(family.name) + "/destinations:" + std::to_string(listed)
                                     + "/taker:" + pattern_name(pattern) + suffix;
            benchmark::RegisterBenchmark(name.c_str(), family.across_destinations, listed, pattern);
        }
    }
}

} // namespace

void register_family_experiments(const std::vector<routing_family>& families)
{
    for (unsigned placement = 0; placement < placement_count; ++placement) {
        register_placement(families, placement);
        register_repeat(families, placement + 1);
    }
    for (const routing_family& family : families) {
        if (family.standard_work)
            over_every_size(benchmark::RegisterBenchmark(family.name, family.standard_work));
    }
    for (const int listed : axis_listed_counts)
        register_axis_point(families, listed, "");
    for (unsigned repeat = 1; repeat <= axis_repeats; ++repeat) {
        for (const int listed : axis_repeated_counts)
            register_axis_point(families, listed, "/repeat:" + std::to_string(repeat));
    }
    for (const int listed : axis_listed_counts) {
        for (const routing_family& family : families) {
            if (!family.connect)
                continue;
            const std::string name = std::string(family.name) + "_connect/destinations:" + std::to_string(listed);
            benchmark::RegisterBenchmark(name.c_str(), family.connect, listed);
        }
    }
}
