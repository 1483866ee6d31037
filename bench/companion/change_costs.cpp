// The cost of one change of a concurrent router holding timed_test1c's
// destinations: adding a destination that refuses every value, removing
// it, and removing it and waiting for the grace period, each alone on the
// clock (manual time), with threads routing through the router meanwhile
// or none.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "concurrent_setups.hpp"
#include "families.hpp"
#include "routing_work.hpp"
#include "thread_runs.hpp"

namespace {

constexpr unsigned change_repeats = 7;

enum class change { add, remove, remove_and_wait };

// Threads that route timed_test1c's work through the router, pass after
// pass, until destroyed.
class routing_meanwhile {
public:
    routing_meanwhile(shared_concurrent_router& routed, unsigned count)
    {
        for (unsigned i = 0; i < count; ++i) {
            threads.emplace_back([this, &routed] {
                const std::vector<int> values = ascending_values(small_size);
                while (!stopping)
                    routed.pass(values);
            });
        }
    }

    ~routing_meanwhile()
    {
        stopping = true;
        for (std::thread& thread : threads)
            thread.join();
    }

    routing_meanwhile(const routing_meanwhile&) = delete;
    routing_meanwhile& operator=(const routing_meanwhile&) = delete;

private:
    std::atomic<bool> stopping{false};
    std::vector<std::thread> threads;
};

template <typename Change>
double seconds_of(Change make_change)
{
    const auto start = std::chrono::steady_clock::now();
    make_change();
    const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
    return taken.count();
}

// Adds a destination and removes it, and returns the seconds of the one
// change timed.
double timed_change(shared_concurrent_router& changed, change timed)
{
    vessa::destination_id added;
    if (timed == change::add) {
        const double seconds = seconds_of([&] { added = changed.add_one(); });
        changed.remove(added);
        return seconds;
    }
    added = changed.add_one();
    if (timed == change::remove)
        return seconds_of([&] { changed.remove(added); });
    return seconds_of([&] { changed.remove_and_wait(added); });
}

void run_change(benchmark::State& state, change timed, unsigned routing_threads)
{
    shared_concurrent_router changed(standard_work{});
    const routing_meanwhile routing(changed, routing_threads);
    for (auto _ : state)
        state.SetIterationTime(timed_change(changed, timed));
}

} // namespace

void register_change_experiments()
{
    const struct {
        const char* name;
        change timed;
    } changes[] = {{"concurrent_router_add", change::add},
                   {"concurrent_router_remove", change::remove},
                   {"concurrent_router_remove_and_wait", change::remove_and_wait}};
    const unsigned routing_counts[] = {0, std::max(1u, machine_cores() - 1)};
    for (unsigned repeat = 1; repeat <= change_repeats; ++repeat) {
        for (const unsigned routing_threads : routing_counts) {
            for (const auto& c : changes) {
                const std::string name = std::string(c.name) + "/routing_threads:" + std::to_string(routing_threads)
                                         + "/repeat:" + std::to_string(repeat);
                benchmark::RegisterBenchmark(name.c_str(), run_change, c.timed, routing_threads)->UseManualTime();
            }
        }
    }
}
