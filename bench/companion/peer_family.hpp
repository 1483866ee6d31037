// What the peers' families share: a signal with the destinations of the
// experiment connected in order, the default's last, each slot calling
// through to a heap destination as the router's handles do, so every
// family does the same work per value. A peer supplies its signal type
// and how to connect a slot:
//
//     struct peer {
//         using signal = ...;   // returns bool, stops at the first true
//         template <typename Slot>
//         static void connect(signal&, bool is_default, Slot slot);
//     };
#ifndef VESSA_BENCH_PEER_FAMILY_HPP
#define VESSA_BENCH_PEER_FAMILY_HPP

#include <cstdint>
#include <memory>
#include <vector>

#include "families.hpp"
#include "routing_work.hpp"

// The combiner (Signals2) or accumulator (libsigc++) that routes: both
// libraries call a slot when its result is dereferenced, so the slots
// after the first taker never run.
struct first_taker {
    using result_type = bool;

    template <typename SlotResults>
    bool operator()(SlotResults first, SlotResults last) const
    {
        for (; first != last; ++first) {
            if (*first)
                return true;
        }
        return false;
    }
};

template <typename Peer>
routing_family peer_family(const char* name);

namespace peer_detail {

template <typename Peer>
void connect_one(typename Peer::signal& signal, bool is_default, std::shared_ptr<vessa::destination<int>> d)
{
    Peer::connect(signal, is_default, [d = std::move(d)](const int& value) { return d->distribute(value); });
}

template <typename Peer>
void connect_all(typename Peer::signal& signal, axis_destinations destinations)
{
    for (std::shared_ptr<vessa::destination<int>>& d : destinations.listed)
        connect_one<Peer>(signal, false, std::move(d));
    connect_one<Peer>(signal, true, std::move(destinations.fallback));
}

template <typename Peer>
void route_every_value(benchmark::State& state, axis_destinations destinations, const std::vector<int>& values)
{
    typename Peer::signal signal;
    connect_all<Peer>(signal, std::move(destinations));
    benchmark::DoNotOptimize(signal);
    for (auto _ : state) {
        for (const int& value : values)
            signal(value);
    }
    report_values_per_iteration(state, static_cast<std::int64_t>(values.size()));
}

template <typename Peer>
void standard_work(benchmark::State& state)
{
    axis_destinations destinations;
    for (int i = 0; i < listed_count; ++i)
        destinations.listed.push_back(std::make_shared<refuse_all>());
    destinations.fallback = std::make_shared<take_all>();
    route_every_value<Peer>(state, std::move(destinations), ascending_values(state.range(0)));
}

template <typename Peer>
void across_destinations(benchmark::State& state, int listed, taker pattern)
{
    route_every_value<Peer>(state, make_axis_destinations(listed), axis_values(listed, pattern));
}

template <typename Peer>
void connect_destinations(benchmark::State& state, int listed)
{
    for (auto _ : state) {
        typename Peer::signal signal;
        connect_all<Peer>(signal, make_axis_destinations(listed));
        benchmark::DoNotOptimize(signal);
    }
}

} // namespace peer_detail

template <typename Peer>
routing_family peer_family(const char* name)
{
    return {name, peer_detail::standard_work<Peer>, peer_detail::across_destinations<Peer>,
            peer_detail::connect_destinations<Peer>};
}

#endif
