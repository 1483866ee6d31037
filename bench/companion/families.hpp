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
// concurrent_router_distribute and concurrent_router_distribute_range:
// the concurrent router on one thread, placed.
std::vector<routing_family> concurrent_families();
// router_batch and router_batch_pure: router::distribute_batch, on the
// destination axis alone.
std::vector<routing_family> batch_families();
// The peers users would pick instead, built when their libraries are found.
std::vector<routing_family> signals2_families();
routing_family sigc_family();

// A way of routing from many threads at once, T = 1 ... the machine's
// cores, its figure the values of all T threads per second of wall time.
struct thread_family {
    const char* name;
    // FAMILY[/churn:C]/repeat:R/1024/real_time/threads:T: timed_test1c's
    // work over 0 ... 1023 from each of T threads, while one more thread
    // makes C changes a second (none without churn:).
    void (*standard_work)(benchmark::State& state, int changes_per_second);
    // FAMILY/destinations:K/taker:PATTERN/repeat:R/real_time/threads:T at
    // the points of axis_repeated_counts.
    void (*across_destinations)(benchmark::State& state, int listed, taker pattern);
};

// concurrent_router_threads, shared by every thread; router_mutex_threads,
// the router behind a std::mutex; floor_virtual_calls_threads, each thread
// with its own destinations.
std::vector<thread_family> thread_families();
// signals2_first_taker_threads: the Signals2 signal with its default mutex,
// shared by every thread.
thread_family signals2_thread_family();

// Registers every experiment of these families, so that the families of
// one point run side by side and a drift of the machine falls on all of
// them alike: the placement sweep with the repeats after each placement,
// then the standard work, the destination axis, its repeated points, and
// connecting.
void register_family_experiments(const std::vector<routing_family>& families);

// Registers the threaded runs in seven rounds: in each, for every thread
// count, the standard work without changes and at 1,000 and 10,000 changes
// a second, then the repeated points of the axis, every family one after
// the other, so that each ratio is taken within a round.
void register_thread_experiments(const std::vector<thread_family>& families);

// The cost of one change of a concurrent router holding timed_test1c's
// destinations, in seven rounds:
// concurrent_router_CHANGE/routing_threads:N/repeat:R/manual_time for
// CHANGE add, remove and remove_and_wait, with no thread routing through
// the router meanwhile and with one fewer than the machine's cores (at
// least one).
void register_change_experiments();

#endif
