// Signals that come and go, as programs whose objects each own a router
// or a signal make and end them: each cycle constructs one, lists N
// destinations in it, each refusing every value, and destroys it, which
// ends them all; N = 0 is an empty one made and destroyed. One run per
// point, whole cycles per second:
//
//     FAMILY/destinations:N/repeat:R
//
// A library is compared through a Subject, which does each step as its
// users write it:
//
//     struct subject {
//         using signal = ...;  // made on the stack, as a member would be
//         static void connect(signal&, refuses_every_value);  // until it ends
//     };
#ifndef VESSA_BENCH_SIGNAL_LIFETIME_HPP
#define VESSA_BENCH_SIGNAL_LIFETIME_HPP

#include <vector>

#include <benchmark/benchmark.h>

#include "come_and_go.hpp"

struct signal_lifetime_family {
    const char* name;
    void (*cycles)(benchmark::State& state, int destinations);
};

// router_lifetime and concurrent_router_lifetime.
std::vector<signal_lifetime_family> vessa_signal_lifetime_families();
// The peers, built when their libraries are found: signals2_lifetime, the
// thread-safe signal, and sigc_lifetime.
signal_lifetime_family signals2_signal_lifetime_family();
signal_lifetime_family sigc_signal_lifetime_family();

// Registers every family at N = 0, 2, 4 ... 64 in seven rounds, each round
// every family at a point one after the other.
void register_signal_lifetime_experiments(const std::vector<signal_lifetime_family>& families);

// ---------------------------------------------------------------------
// Mechanics.

template <typename Subject>
void run_signal_lifetime(benchmark::State& state, int destinations)
{
    for (auto _ : state) {
        typename Subject::signal made;
        for (int key = 0; key < destinations; ++key)
            Subject::connect(made, refuses_every_value{key});
        // Else the compiler may see that an empty one does nothing.
        benchmark::DoNotOptimize(made);
    }
    state.SetItemsProcessed(state.iterations());
}

template <typename Subject>
signal_lifetime_family signal_lifetime(const char* name)
{
    return {name, run_signal_lifetime<Subject>};
}

#endif
