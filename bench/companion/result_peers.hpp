// results_bench's peers: the libraries that can say which slot took a
// value, through a combiner (Boost.Signals2) or an accumulator
// (libsigc++) that stops at the first slot returning true and returns
// its index. The deciding lambdas are connected as the peers' routing
// families connect them, the default's slot last, so index K is the
// default's; each value's index is counted by its kind, as router_used
// counts its result, so both do the same work per value.
#ifndef VESSA_BENCH_RESULT_PEERS_HPP
#define VESSA_BENCH_RESULT_PEERS_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "axis_work.hpp"
#include "peer_family.hpp"
#include "routing_work.hpp"

// A peer compared with router_used, in results_bench's summary under its
// label.
struct result_peer {
    const char* family;
    const char* label;
    void (*run)(benchmark::State& state, int listed, taker pattern);
};

// Built when their libraries are found.
result_peer signals2_result_peer();
result_peer sigc_result_peer();

// As a user of either library writes it: both call a slot when its
// result is dereferenced, so the slots after the first taker never run.
struct first_taker_index {
    using result_type = int;

    // The index of the first slot that took the value; -1 if none did.
    template <typename SlotResults>
    int operator()(SlotResults first, SlotResults last) const
    {
        for (int index = 0; first != last; ++first, ++index) {
            if (*first)
                return index;
        }
        return -1;
    }
};

template <typename Peer>
class counting_peer : public peer_setup<Peer> {
public:
    explicit counting_peer(int listed_count)
        : peer_setup<Peer>(destination_axis_work{listed_count}), listed(listed_count)
    {
    }

    void count(const std::vector<int>& values, std::size_t& taken, std::size_t& defaulted)
    {
        for (const int& value : values) {
            const int index = this->signal(value);
            taken += index >= 0 && index < listed;
            defaulted += index == listed;
        }
    }

private:
    int listed;
};

template <typename Peer>
void run_result_peer(benchmark::State& state, int listed, taker pattern)
{
    counting_peer<Peer> setup(listed);
    const std::vector<int> values = axis_values(listed, pattern);
    std::size_t taken = 0;
    std::size_t defaulted = 0;
    for (auto _ : state)
        setup.count(values, taken, defaulted);
    benchmark::DoNotOptimize(taken);
    benchmark::DoNotOptimize(defaulted);
    report_values_per_iteration(state, static_cast<std::int64_t>(values.size()));
}

#endif
