#include "benchmark_setup.hpp"

#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

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

bool initialize_benchmark(int argc, char** argv)
{
    // A short minimum time keeps a run to a few minutes; the many
    // placements and rounds, not long runs, are what make the figures
    // hold. A --benchmark_min_time on the command line comes later and wins.
    std::vector<char*> arguments(argv, argv + argc);
    std::string short_runs = "--benchmark_min_time=0.1";
    arguments.insert(arguments.begin() + 1, short_runs.data());
    int argument_count = static_cast<int>(arguments.size());
    benchmark::Initialize(&argument_count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(argument_count, arguments.data()))
        return false;
    benchmark::AddCustomContext("cpu_model", cpu_model());
    return true;
}
