// The order and the names of the threaded runs.
#include <string>

#include "families.hpp"
#include "routing_work.hpp"
#include "thread_runs.hpp"

namespace {

constexpr unsigned thread_repeats = 7;
constexpr int change_rates[] = {1000, 10000};

// Total values per second, so the wall clock: CPU time would count every
// thread's time, and Google Benchmark divides the items by the time.
void run_with(benchmark::internal::Benchmark* b, unsigned threads)
{
    b->Threads(static_cast<int>(threads))->UseRealTime();
}

void register_standard_work(const std::vector<thread_family>& families, unsigned threads, int changes_per_second,
                            const std::string& repeat)
{
    const std::string churn = changes_per_second > 0 ? "/churn:" + std::to_string(changes_per_second) : "";
    for (const thread_family& family : families) {
        const std::string name = family.name + churn + repeat + "/" + std::to_string(small_size);
        run_with(benchmark::RegisterBenchmark(name.c_str(), family.standard_work, changes_per_second), threads);
    }
}

void register_axis_points(const std::vector<thread_family>& families, unsigned threads, const std::string& repeat)
{
    for (const int listed : axis_repeated_counts) {
        for (const taker pattern : {taker::none, taker::random}) {
            for (const thread_family& family : families) {
                const std::string name = std::string(family.name) + "/destinations:" + std::to_string(listed)
                                         + "/taker:" + pattern_name(pattern) + repeat;
                run_with(benchmark::RegisterBenchmark(name.c_str(), family.across_destinations, listed, pattern),
                         threads);
            }
        }
    }
}

} // namespace

void register_thread_experiments(const std::vector<thread_family>& families)
{
    for (unsigned repeat = 1; repeat <= thread_repeats; ++repeat) {
        const std::string repeat_part = "/repeat:" + std::to_string(repeat);
        for (unsigned threads = 1; threads <= machine_cores(); ++threads) {
            register_standard_work(families, threads, 0, repeat_part);
            for (const int rate : change_rates)
                register_standard_work(families, threads, rate, repeat_part);
            register_axis_points(families, threads, repeat_part);
        }
    }
}
