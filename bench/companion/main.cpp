// distribute_bench: the high-resolution companion to timed_test1c. Runs
// the experiments of families.hpp, the routers axis, objects that come and
// go, signals that come and go and the producers axis under Google
// Benchmark, with the peers whose libraries the build found, then prints
// the placement summary, the summary of the concurrent router's runs and
// that of the routers and the objects.
#include <vector>

#include <benchmark/benchmark.h>

#include "benchmark_setup.hpp"
#include "come_and_go.hpp"
#include "families.hpp"
#include "inbox_families.hpp"
#include "routers_axis.hpp"
#include "signal_lifetime.hpp"
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
    std::vector<come_and_go_family> coming_and_going = vessa_come_and_go_families();
    std::vector<signal_lifetime_family> lifetimes = vessa_signal_lifetime_families();
#ifdef VESSA_WITH_SIGNALS2
    for (const routing_family& family : signals2_families())
        families.push_back(family);
    threaded.push_back(signals2_thread_family());
    coming_and_going.push_back(signals2_come_and_go_family());
    lifetimes.push_back(signals2_signal_lifetime_family());
#endif
#ifdef VESSA_WITH_SIGC
    families.push_back(sigc_family());
    coming_and_going.push_back(sigc_come_and_go_family());
    lifetimes.push_back(sigc_signal_lifetime_family());
#endif
    register_family_experiments(families);
    register_thread_experiments(threaded);
    register_change_experiments();
    register_routers_experiments();
    register_come_and_go_experiments(coming_and_going);
    register_signal_lifetime_experiments(lifetimes);
    register_producer_experiments();

    summary_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
