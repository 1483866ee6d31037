// tracking_bench: what tracking costs per call. Two routers get the very
// deciding lambdas of distribute_bench's works: router_untracked as they
// are, router_tracked each listed one behind vessa::tracking of one live
// object, so that each of its calls locks a weak_ptr; both defaults are
// untracked. Sixteen rounds, the two side by side at every point of each,
// then per point the ratio of their medians with its 95 % interval, and
// the extra nanoseconds per tracked call that it comes to.
//
// A program of its own rather than families of distribute_bench, whose
// saved runs tools/plot_companion reads, refusing entries it does not know.
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <vessa/router.hpp>

#include "axis_work.hpp"
#include "benchmark_setup.hpp"
#include "deciding.hpp"
#include "ratio_interval.hpp"
#include "round_figures.hpp"
#include "routing_setups.hpp"
#include "routing_work.hpp"

namespace {

constexpr unsigned rounds = 16;
constexpr std::int64_t standard_work_size = 1024;

// timed_test1c's work over 0 ... 1023, or a point of the destination axis.
struct point {
    std::string name;
    int listed;
    bool standard;
    taker pattern;

    std::vector<int> values() const
    {
        return standard ? ascending_values(standard_work_size) : axis_values(listed, pattern);
    }
    // Listed destinations called per value: the tracked calls.
    double listed_calls_per_value() const
    {
        if (standard)
            return listed;
        const std::vector<int> routed = values();
        double calls = 0;
        for (const int v : routed)
            calls += v < listed ? v + 1 : listed;
        return calls / static_cast<double>(routed.size());
    }
};

// A work whose deciders each track one object.
template <typename Work>
struct tracked_work {
    Work work;
    std::weak_ptr<int> object;

    int listed() const { return work.listed(); }
    auto decider(int i) const { return vessa::tracking(object, work.decider(i)); }
};

template <typename Work>
void time_router(benchmark::State& state, const Work& work, const std::vector<int>& values)
{
    router_setup<held_as::lambdas> setup(work);
    for (auto _ : state)
        setup.pass(values);
    report_values_per_iteration(state, static_cast<std::int64_t>(values.size()));
}

template <typename Work>
void run(benchmark::State& state, const Work& work, const std::vector<int>& values, bool tracked)
{
    const std::shared_ptr<int> object = std::make_shared<int>(0);
    if (tracked)
        time_router(state, tracked_work<Work>{work, object}, values);
    else
        time_router(state, work, values);
}

void run_point(benchmark::State& state, const point& at, bool tracked)
{
    if (at.standard)
        run(state, standard_work{}, at.values(), tracked);
    else
        run(state, destination_axis_work{at.listed}, at.values(), tracked);
}

// Per point, the two families' medians and their ratio with its interval.
void print_comparison(std::ostream& out, const round_figures& figures, const std::vector<point>& points)
{
    out << "\nns of CPU time per value, median of " << rounds
        << " rounds; tracked / untracked [95% CI]; extra ns per tracked call, from the median and the interval's ends\n"
        << std::fixed << std::setprecision(2);
    for (const point& at : points) {
        const std::vector<double>& untracked = figures_of(figures, "router_untracked/" + at.name);
        const std::vector<double>& tracked = figures_of(figures, "router_tracked/" + at.name);
        const ratio_estimate ratio = median_ratio(tracked, untracked);
        const double per_call = median_of(untracked) / at.listed_calls_per_value();
        out << std::left << std::setw(28) << at.name << std::right << "  untracked " << median_of(untracked)
            << "  tracked " << median_of(tracked) << "  ratio " << std::setprecision(3) << ratio.ratio << " ["
            << ratio.low << ", " << ratio.high << "]  per call " << std::setprecision(2) << (ratio.ratio - 1) * per_call
            << " [" << (ratio.low - 1) * per_call << ", " << (ratio.high - 1) * per_call << "]\n";
    }
}

std::vector<point> compared_points()
{
    std::vector<point> points{{"standard/1024", 3, true, taker::none}};
    for (const int listed : axis_repeated_counts) {
        for (const taker pattern : {taker::none, taker::random})
            points.push_back(
                {"destinations:" + std::to_string(listed) + "/taker:" + pattern_name(pattern), listed, false, pattern});
    }
    return points;
}

} // namespace

int main(int argc, char** argv)
{
    if (!initialize_benchmark(argc, argv))
        return 1;

    const std::vector<point> points = compared_points();
    for (unsigned round = 1; round <= rounds; ++round) {
        for (const point& at : points) {
            for (const bool tracked : {false, true}) {
                const std::string name = std::string(tracked ? "router_tracked/" : "router_untracked/") + at.name
                                         + "/repeat:" + std::to_string(round);
                benchmark::RegisterBenchmark(name.c_str(),
                                             [at, tracked](benchmark::State& state) { run_point(state, at, tracked); });
            }
        }
    }
    round_figures_reporter reporter(
        [&points](std::ostream& out, const round_figures& figures) { print_comparison(out, figures, points); });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
