// The sizes every family routes and how every family reports a pass.
#ifndef VESSA_BENCH_ROUTING_WORK_HPP
#define VESSA_BENCH_ROUTING_WORK_HPP

#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

// timed_test1c's largest N, the size of the standard work and of the
// repeats, beside small_size, which fits every cache.
constexpr std::int64_t standard_size = 1 << 20;
constexpr std::int64_t small_size = 1 << 10;

// 0 ... count - 1, the input of timed_test1c.
std::vector<int> ascending_values(std::int64_t count);

// Every family reports the values routed by one iteration as the counter
// "values", so that ns per value can be read off any entry, JSON included.
void report_values_per_iteration(benchmark::State& state, std::int64_t values);

#endif
