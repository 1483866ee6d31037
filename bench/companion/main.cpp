// distribute_bench: the high-resolution companion to timed_test1c. Runs
// the experiments of families.hpp under Google Benchmark, with the peers
// whose libraries the build found, then prints the placement summary and
// the summary of the concurrent router's runs.
#include <vector>

#include <benchmark/benchmark.h>

#include "benchmark_setup.hpp"
#include "families.hpp"
#include "inbox_families.hpp"
#include "summary_reporter.hpp"

int main(int argc, char** argv)
{
    if (!initialize_benchmark(argc, argv))
        return 1;
    std::vector<routing_family> families = own_families();
    for (const routing_family& family : concurrent_families())
        families.push_back(family);
    for (const routing_family& family : batch_families())
        families.push_back(family);
    std::vector<thread_family> threaded = thread_families();
#ifdef VESSA_WITH_SIGNALS2
    for (const routing_family& family : signals2_families())
        families.push_back(family);
    threaded.push_back(signals2_thread_family());
#endif
#ifdef VESSA_WITH_SIGC
    families.push_back(sigc_family());
#endif
    register_family_experiments(families);
    register_thread_experiments(threaded);
    register_change_experiments();
    register_producer_experiments();

    summary_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
