// The experiments as Google Benchmark runs them, for any Setup of
// routing_setups.hpp or peer_family.hpp: built from a work, then timed
// pass by pass.
#ifndef VESSA_BENCH_FAMILY_RUNS_HPP
#define VESSA_BENCH_FAMILY_RUNS_HPP

#include <vector>

#include <benchmark/benchmark.h>

#include "axis_work.hpp"
#include "deciding.hpp"
#include "placement.hpp"
#include "routing_work.hpp"

// timed_test1c's work over 0 ... N - 1, at one code placement.
template <typename Setup>
void run_placed(benchmark::State& state, unsigned placement)
{
    Setup setup(standard_work{});
    const std::vector<int> values = ascending_values(state.range(0));
    time_passes(state, placement, [&] { setup.pass(values); });
    report_values_per_iteration(state, state.range(0));
}

// timed_test1c's work over 0 ... N - 1, wherever the compiler put the loop.
template <typename Setup>
void run_standard_work(benchmark::State& state)
{
    Setup setup(standard_work{});
    const std::vector<int> values = ascending_values(state.range(0));
    for (auto _ : state)
        setup.pass(values);
    report_values_per_iteration(state, state.range(0));
}

template <typename Setup>
void run_across_destinations(benchmark::State& state, int listed, taker pattern)
{
    Setup setup(destination_axis_work{listed});
    const std::vector<int> values = axis_values(listed, pattern);
    for (auto _ : state)
        setup.pass(values);
    report_values_per_iteration(state, axis_values_per_pass);
}

// Building K destinations and a default, and tearing them down.
template <typename Setup>
void run_connect(benchmark::State& state, int listed)
{
    for (auto _ : state) {
        Setup setup(destination_axis_work{listed});
        benchmark::DoNotOptimize(setup);
    }
}

#endif
