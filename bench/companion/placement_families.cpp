// The families timed at every code placement. Each value is refused by
// three listed destinations and taken by the default, as in timed_test1c.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "families.hpp"
#include "placement.hpp"
#include "routing_work.hpp"

namespace {

constexpr int largest_size = 1 << 20;

void router_distribute(benchmark::State& state, unsigned placement)
{
    vessa::router<int> router;
    for (int i = 0; i < listed_count; ++i)
        router.add_destination(refuse_all(), 1);
    router.set_default_destination(take_all());
    // timed_test1c's router outlives its loop behind a pointer, so the
    // list is read anew for every value; escaping does the same here.
    benchmark::DoNotOptimize(router);
    const std::vector<int> values = ascending_values(state.range(0));

    time_passes(state, placement, [&] {
        for (auto it = values.begin(); it != values.end(); ++it)
            router.distribute(it);
    });
    report_values_per_iteration(state, state.range(0));
}

void router_distribute_range(benchmark::State& state, unsigned placement)
{
    vessa::router<int> router;
    for (int i = 0; i < listed_count; ++i)
        router.add_destination(refuse_all(), 1);
    router.set_default_destination(take_all());
    benchmark::DoNotOptimize(router);
    const std::vector<int> values = ascending_values(state.range(0));

    time_passes(state, placement, [&] { router.distribute(values.begin(), values.end()); });
    report_values_per_iteration(state, state.range(0));
}

// The limit: the same four calls per value, with the destinations, their
// count and the default in locals for the whole pass, so nothing is read
// again after a call.
void floor_virtual_calls(benchmark::State& state, unsigned placement)
{
    // Heap objects reached through base pointers, as the router's are.
    std::vector<std::unique_ptr<vessa::destination<int>>> owned;
    std::vector<vessa::destination<int>*> listed;
    for (int i = 0; i < listed_count; ++i) {
        owned.push_back(std::make_unique<refuse_all>());
        listed.push_back(owned.back().get());
    }
    owned.push_back(std::make_unique<take_all>());
    vessa::destination<int>* const default_destination = owned.back().get();
    benchmark::DoNotOptimize(listed);
    const std::vector<int> values = ascending_values(state.range(0));

    time_passes(state, placement, [&] {
        vessa::destination<int>* const* const first = listed.data();
        vessa::destination<int>* const* const last = first + listed.size();
        vessa::destination<int>* const fallback = default_destination;
        for (const int& value : values) {
            vessa::destination<int>* const* d = first;
            while (d != last && !(*d)->distribute(value))
                ++d;
            if (d == last)
                fallback->distribute(value);
        }
    });
    report_values_per_iteration(state, state.range(0));
}

// What one writes by hand instead of a router.
void function_chain(benchmark::State& state, unsigned placement)
{
    using decision = std::function<bool(const int&)>;
    std::vector<decision> listed(listed_count, [](const int&) { return false; });
    decision fallback = [](const int&) { return true; };
    benchmark::DoNotOptimize(listed);
    benchmark::DoNotOptimize(fallback);
    const std::vector<int> values = ascending_values(state.range(0));

    time_passes(state, placement, [&] {
        for (const int& value : values) {
            bool taken = false;
            for (const decision& d : listed) {
                if (d(value)) {
                    taken = true;
                    break;
                }
            }
            if (!taken)
                fallback(value);
        }
    });
    report_values_per_iteration(state, state.range(0));
}

} // namespace

void register_placement_families()
{
    using family = void (*)(benchmark::State&, unsigned);
    const std::pair<const char*, family> families[] = {
        {"router_distribute", router_distribute},
        {"router_distribute_range", router_distribute_range},
        {"floor_virtual_calls", floor_virtual_calls},
        {"function_chain", function_chain},
    };
    // Placement by placement, so that the families of one placement run
    // side by side and a drift of the machine falls on all of them alike.
    for (unsigned placement = 0; placement < placement_count; ++placement) {
        for (const auto& [name, run] : families) {
            const std::string placed_name = std::string(name) + "/placement:" + std::to_string(placement);
            benchmark::internal::Benchmark* const placed
                = benchmark::RegisterBenchmark(placed_name.c_str(), run, placement);
            if (placement == 0)
                placed->RangeMultiplier(2)->Range(1, largest_size)->Complexity(benchmark::oN);
            else
                placed->Arg(1 << 10)->Arg(largest_size);
        }
    }
}
