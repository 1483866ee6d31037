// The experiments of distribute_bench, each registering its families with
// Google Benchmark. Names follow Google Benchmark's name:value form, which
// the placement summary and tools/plot_companion read back.
#ifndef VESSA_BENCH_FAMILIES_HPP
#define VESSA_BENCH_FAMILIES_HPP

// timed_test1c's work at every code placement:
//   router_distribute/placement:P/N        router::distribute(it) per value
//   router_distribute_range/placement:P/N  router::distribute(first, last)
//   floor_virtual_calls/placement:P/N      the four virtual calls alone
//   function_chain/placement:P/N           a chain of std::function
// Every placement runs N = 2^10 and 2^20; placement 0 sweeps N = 1 ... 2^20
// and fits O(N).
void register_placement_families();

#endif
