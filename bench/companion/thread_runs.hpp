// Routing from many threads at once, as Google Benchmark's ->Threads(T)
// runs it: every thread routes its own copy of the values, pass by pass,
// and the run's figure is the values of all its threads per second of
// wall time (items_per_second).
//
// A family's Routing type says what one thread routes through:
//
//     struct routing {
//         using changed = ...;  // built once per run from the work;
//                               // add_and_remove_one() makes two changes
//         template <typename Work>
//         explicit routing(const Work&);   // on each thread
//         void pass(changed&, const std::vector<int>& values) const;
//     };
//
// Thread 0 builds the changed state before the timed loop and, at a rate
// above zero, starts the thread that changes it; after the loop it stops
// that thread and tears the state down. Google Benchmark holds every thread
// at a barrier as the timed loop starts and as it ends, which orders both
// against the other threads' routing.
#ifndef VESSA_BENCH_THREAD_RUNS_HPP
#define VESSA_BENCH_THREAD_RUNS_HPP

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "axis_work.hpp"
#include "deciding.hpp"
#include "paced_changes.hpp"
#include "routing_work.hpp"

// The thread counts go up to this.
inline unsigned machine_cores() { return std::max(1u, std::thread::hardware_concurrency()); }

// The changed state of the run under way: Google Benchmark runs one at a
// time, so one slot per type serves every run.
template <typename Changed>
std::unique_ptr<Changed>& changed_state()
{
    static std::unique_ptr<Changed> state;
    return state;
}

template <typename Routing, typename Work>
void time_threads(benchmark::State& state, const Work& work, const std::vector<int>& values, int changes_per_second)
{
    using changed = typename Routing::changed;
    std::unique_ptr<changed>& shared = changed_state<changed>();
    std::optional<paced_changes> writer;
    if (state.thread_index() == 0) {
        shared = std::make_unique<changed>(work);
        if (changes_per_second > 0)
            writer.emplace(changes_per_second, [&shared] { shared->add_and_remove_one(); });
    }
    const Routing routing(work);
    for (auto _ : state)
        routing.pass(*shared, values);
    if (writer)
        state.counters["changes_per_second"] = writer->changes_per_second();
    writer.reset();
    if (state.thread_index() == 0)
        shared.reset();
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(values.size()));
}

// timed_test1c's work over 0 ... small_size - 1, from every thread, while
// one more thread makes changes_per_second changes (none at 0).
template <typename Routing>
void run_threads_standard(benchmark::State& state, int changes_per_second)
{
    time_threads<Routing>(state, standard_work{}, ascending_values(small_size), changes_per_second);
}

template <typename Routing>
void run_threads_across(benchmark::State& state, int listed, taker pattern)
{
    time_threads<Routing>(state, destination_axis_work{listed}, axis_values(listed, pattern), 0);
}

// Every thread routes through the one Shared setup, which also is what
// the writer changes.
template <typename Shared>
class through_shared {
public:
    using changed = Shared;

    template <typename Work>
    explicit through_shared(const Work&)
    {
    }

    [[gnu::always_inline]] void pass(Shared& shared, const std::vector<int>& values) const { shared.pass(values); }
};

#endif
