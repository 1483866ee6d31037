// Objects that come and go, as programs with a signal per object use a
// router: each cycle builds an object holding N scoped destinations of one
// router (or scoped connections of one signal) that every thread shares,
// emits one value through it, which every destination refuses as a
// signal's slots do, and destroys the object, which ends its scoped
// destinations. Two runs per point:
//
//     FAMILY/destinations:N/cycles/repeat:R/real_time/threads:T
//         whole cycles per second of wall time, all threads together;
//     FAMILY/destinations:N/changes/repeat:R/manual_time/threads:T
//         the same cycles, with the N connects and the N ends each timed
//         alone: counters connects_per_second and disconnects_per_second,
//         summed over the threads.
//
// A library is compared through a Subject, which does each step as its
// users write it:
//
//     struct subject {
//         using shared = ...;  // the router or signal every thread uses
//         using scope = ...;   // movable; ends one connection when destroyed
//         static scope connect(shared&, refuses_every_value);
//         static void emit(shared&, int value);
//     };
#ifndef VESSA_BENCH_COME_AND_GO_HPP
#define VESSA_BENCH_COME_AND_GO_HPP

#include <chrono>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "thread_runs.hpp"

// Every family's destination, called from the library's own type erasure.
struct refuses_every_value {
    int key;
    bool operator()(const int& value) const { return value == key; }
};

struct come_and_go_family {
    const char* name;
    // 1 for a library that one thread at a time may use.
    unsigned most_threads;
    void (*cycles)(benchmark::State& state, int destinations);
    void (*changes)(benchmark::State& state, int destinations);
};

// concurrent_router_objects, concurrent_router_removing_objects and
// router_objects (one thread).
std::vector<come_and_go_family> vessa_come_and_go_families();
// The peers, built when their libraries are found: signals2_objects, the
// thread-safe signal with scoped_connection, and sigc_objects (one thread).
come_and_go_family signals2_come_and_go_family();
come_and_go_family sigc_come_and_go_family();

// Registers both runs of every family at N = 2, 4 ... 64 and T = 1 ... its
// most threads (at most the machine's cores), in seven rounds, each round
// every family at a point one after the other.
void register_come_and_go_experiments(const std::vector<come_and_go_family>& families);

// ---------------------------------------------------------------------
// Mechanics.

namespace come_and_go_detail {

// No destination's key: every destination refuses it.
constexpr int emitted_value = -1;

template <typename Scope>
struct object {
    explicit object(int destinations) { scopes.reserve(static_cast<std::size_t>(destinations)); }
    std::vector<Scope> scopes;
};

template <typename Subject>
void connect_all(typename Subject::shared& shared, object<typename Subject::scope>& made, int destinations)
{
    for (int key = 0; key < destinations; ++key)
        made.scopes.push_back(Subject::connect(shared, refuses_every_value{key}));
}

// The seconds region takes, less one reading of the clock: the time
// between two readings in a row is what a reading adds to the region's.
template <typename Region>
double seconds_of(Region region)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point before = clock::now();
    const clock::time_point start = clock::now();
    region();
    const clock::time_point end = clock::now();
    const std::chrono::duration<double> taken = (end - start) - (start - before);
    return taken.count();
}

// Thread 0 makes what every thread shares before the timed loop, and
// destroys it after; Google Benchmark's barriers at both ends order that
// against the other threads, which read it inside the loop alone.
template <typename Shared, typename Loop>
void with_shared(benchmark::State& state, Loop loop)
{
    std::unique_ptr<Shared>& shared = changed_state<Shared>();
    if (state.thread_index() == 0)
        shared = std::make_unique<Shared>();
    loop(shared);
    if (state.thread_index() == 0)
        shared.reset();
}

} // namespace come_and_go_detail

template <typename Subject>
void run_come_and_go_cycles(benchmark::State& state, int destinations)
{
    using namespace come_and_go_detail;
    with_shared<typename Subject::shared>(state, [&](const auto& shared) {
        for (auto _ : state) {
            object<typename Subject::scope> made(destinations);
            connect_all<Subject>(*shared, made, destinations);
            Subject::emit(*shared, emitted_value);
        }
    });
    state.SetItemsProcessed(state.iterations());
}

template <typename Subject>
void run_come_and_go_changes(benchmark::State& state, int destinations)
{
    using namespace come_and_go_detail;
    double connecting = 0;
    double ending = 0;
    with_shared<typename Subject::shared>(state, [&](const auto& shared) {
        for (auto _ : state) {
            object<typename Subject::scope> made(destinations);
            const double connected = seconds_of([&] { connect_all<Subject>(*shared, made, destinations); });
            Subject::emit(*shared, emitted_value);
            const double ended = seconds_of([&] { made.scopes.clear(); });
            state.SetIterationTime(connected + ended);
            connecting += connected;
            ending += ended;
        }
    });
    const double changes = static_cast<double>(state.iterations()) * destinations;
    state.counters["connects_per_second"] = changes / connecting;
    state.counters["disconnects_per_second"] = changes / ending;
}

template <typename Subject>
come_and_go_family come_and_go(const char* name, unsigned most_threads)
{
    return {name, most_threads, run_come_and_go_cycles<Subject>, run_come_and_go_changes<Subject>};
}

#endif
