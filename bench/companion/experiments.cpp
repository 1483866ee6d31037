// The order and the names of the experiments that follow the placement
// sweep.
#include <string>

#include "families.hpp"
#include "routing_work.hpp"

namespace {

constexpr int largest_size = 1 << 20;

std::string pattern_name(taker pattern) { return pattern == taker::none ? "none" : "random"; }

} // namespace

void register_family_experiments(const std::vector<routing_family>& families)
{
    for (const routing_family& family : families) {
        if (family.standard_work)
            benchmark::RegisterBenchmark(family.name, family.standard_work)
                ->RangeMultiplier(2)
                ->Range(1, largest_size)
                ->Complexity(benchmark::oN);
    }
    for (const int listed : axis_listed_counts) {
        for (const taker pattern : {taker::none, taker::random}) {
            for (const routing_family& family : families) {
                const std::string name = std::string(family.name) + "/destinations:" + std::to_string(listed)
                                         + "/taker:" + pattern_name(pattern);
                benchmark::RegisterBenchmark(name.c_str(), family.across_destinations, listed, pattern);
            }
        }
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
