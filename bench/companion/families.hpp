// The families of distribute_bench and the experiments they run. Names
// follow Google Benchmark's name:value form, which the summary and
// tools/plot_companion read back.
#ifndef VESSA_BENCH_FAMILIES_HPP
#define VESSA_BENCH_FAMILIES_HPP

#include <vector>

#include <benchmark/benchmark.h>

#include "axis_work.hpp"

// A way of routing. Each experiment a family does not run is null.
struct routing_family {
    const char* name;
    // timed_test1c's work at every code placement, FAMILY/placement:P/N:
    // N = 2^10 and 2^20 at every placement, placement 0 also over
    // N = 1 ... 2^20 with an O(N) fit. Placement 0 is measured again after
    // each placement, FAMILY/placement:0/repeat:R/N: the noise.
    void (*placed)(benchmark::State& state, unsigned placement);
    // timed_test1c's work at one placement, for the families timed at no
    // other: FAMILY/N over N = 1 ... 2^20, and FAMILY/repeat:R/N after
    // each placement of the others.
    void (*standard_work)(benchmark::State& state);
    // FAMILY/destinations:K/taker:PATTERN, over axis_values, and at the
    // points of axis_repeated_counts FAMILY/destinations:K/taker:PATTERN/repeat:R
    // in rounds after the sweep.
    void (*across_destinations)(benchmark::State& state, int listed, taker pattern);
    // FAMILY_connect/destinations:K: building K destinations and a default,
    // and tearing them down.
    void (*connect)(benchmark::State& state, int listed);
};

// router_distribute, router_distribute_lambdas, router_distribute_range,
// floor_virtual_calls and function_chain, all placed.
std::vector<routing_family> own_families();
// router_batch and router_batch_pure: router::distribute_batch, on the
// destination axis alone.
std::vector<routing_family> batch_families();
// The peers users would pick instead, built when their libraries are found.
std::vector<routing_family> signals2_families();
routing_family sigc_family();

// Registers every experiment of these families, so that the families of
// one point run side by side and a drift of the machine falls on all of
// them alike: the placement sweep with the repeats after each placement,
// then the standard work, the destination axis, its repeated points, and
// connecting.
void register_family_experiments(const std::vector<routing_family>& families);

#endif
