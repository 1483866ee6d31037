// The experiments of distribute_bench and the families they time. Names
// follow Google Benchmark's name:value form, which the placement summary
// and tools/plot_companion read back.
#ifndef VESSA_BENCH_FAMILIES_HPP
#define VESSA_BENCH_FAMILIES_HPP

#include <vector>

#include <benchmark/benchmark.h>

#include "axis_work.hpp"

// timed_test1c's work at every code placement:
//   router_distribute/placement:P/N        router::distribute(it) per value
//   router_distribute_range/placement:P/N  router::distribute(first, last)
//   floor_virtual_calls/placement:P/N      the four virtual calls alone
//   function_chain/placement:P/N           a chain of std::function
// Every placement runs N = 2^10 and 2^20; placement 0 sweeps N = 1 ... 2^20
// and fits O(N).
void register_placement_families();

// A way of routing, as the experiments after the placement sweep run it.
struct routing_family {
    const char* name;
    // timed_test1c's work over N = 1 ... 2^20, as FAMILY/N; null for the
    // families that the placement sweep times already.
    void (*standard_work)(benchmark::State& state);
    // FAMILY/destinations:K/taker:PATTERN, over axis_values.
    void (*across_destinations)(benchmark::State& state, int listed, taker pattern);
    // FAMILY_connect/destinations:K: building K destinations and a default,
    // and tearing them down; null where the family builds nothing of its
    // own (the range call shares the router's, the floor is a bare list).
    void (*connect)(benchmark::State& state, int listed);
};

// router_distribute, router_distribute_range, floor_virtual_calls and
// function_chain.
std::vector<routing_family> own_families();
// router_batch and router_batch_pure: router::distribute_batch, on the
// destination axis alone.
std::vector<routing_family> batch_families();
// The peers users would pick instead, built when their libraries are found.
routing_family signals2_family();
routing_family sigc_family();

// Registers the standard work, the destination axis and the connect
// experiment of these families, point by point, so that the families of
// one point run side by side.
void register_family_experiments(const std::vector<routing_family>& families);

#endif
