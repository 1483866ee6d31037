// distribute_bench: the high-resolution companion to timed_test1c. Runs
// the experiments of families.hpp under Google Benchmark, with the peers
// whose libraries the build found, then prints the placement summary and
// the summary of the concurrent router's runs.
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "families.hpp"
#include "summary_reporter.hpp"

namespace {

// Google Benchmark's context names no processor; the figures mean little
// without one.
std::string cpu_model()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    const std::string key = "model name";
    for (std::string line; std::getline(cpuinfo, line);) {
        const std::size_t colon = line.find(':');
        if (line.compare(0, key.size(), key) == 0 && colon != std::string::npos)
            return line.substr(line.find_first_not_of(' ', colon + 1));
    }
    return "unknown";
}

} // namespace

int main(int argc, char** argv)
{
    // A short minimum time keeps the default run to a few minutes; the
    // many placements, not long runs, are what make the figures hold.
    // A --benchmark_min_time on the command line comes later and wins.
    std::vector<char*> arguments(argv, argv + argc);
    std::string short_runs = "--benchmark_min_time=0.1";
    arguments.insert(arguments.begin() + 1, short_runs.data());
    int argument_count = static_cast<int>(arguments.size());
    benchmark::Initialize(&argument_count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(argument_count, arguments.data()))
        return 1;

    benchmark::AddCustomContext("cpu_model", cpu_model());
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

    summary_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
