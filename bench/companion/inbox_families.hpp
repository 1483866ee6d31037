// The producers axis of distribute_bench (inbox_families.cpp).
#ifndef VESSA_BENCH_INBOX_FAMILIES_HPP
#define VESSA_BENCH_INBOX_FAMILIES_HPP

// Registers vessa::inbox and the queues users would pick instead, each
// fed by 1 and 2 posting threads and routed on one owning thread, and
// their latency from a post to its delivery for an owner that sleeps.
void register_producer_experiments();

#endif
