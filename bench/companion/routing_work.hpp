// What timed_test1c's work is made of in distribute_bench, and how every
// family reports a pass.
#ifndef VESSA_BENCH_ROUTING_WORK_HPP
#define VESSA_BENCH_ROUTING_WORK_HPP

#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "destinations.hpp"

// timed_test1c's work: three listed destinations refuse every value and
// the default takes it, four calls per value.
constexpr int listed_count = 3;

// 0 ... count - 1, the input of timed_test1c.
std::vector<int> ascending_values(std::int64_t count);

// Every family reports the values routed by one iteration as the counter
// "values", so that ns per value can be read off any entry, JSON included.
void report_values_per_iteration(benchmark::State& state, std::int64_t values);

#endif
