// What the peers' families share: a signal with the deciding callables of
// the work connected in order as its slots, the default's last, so each
// destination costs the peer one call of its own slot type. A peer
// supplies its signal type and how to connect a slot:
//
//     struct peer {
//         using signal = ...;   // returns bool, stops at the first true
//         template <typename Slot>
//         static void connect(signal&, bool is_default, Slot slot);
//     };
#ifndef VESSA_BENCH_PEER_FAMILY_HPP
#define VESSA_BENCH_PEER_FAMILY_HPP

#include <vector>

#include "families.hpp"
#include "family_runs.hpp"

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
class peer_setup {
public:
    template <typename Work>
    explicit peer_setup(const Work& work)
    {
        for (int i = 0; i < work.listed(); ++i)
            Peer::connect(signal, false, work.decider(i));
        Peer::connect(signal, true, takes_every_value());
        benchmark::DoNotOptimize(signal);
    }

    [[gnu::always_inline]] void pass(const std::vector<int>& values)
    {
        for (const int& value : values)
            signal(value);
    }

protected:
    typename Peer::signal signal;
};

template <typename Peer>
routing_family peer_family(const char* name)
{
    using setup = peer_setup<Peer>;
    return {name, nullptr, run_standard_work<setup>, run_across_destinations<setup>, run_connect<setup>};
}

#endif
