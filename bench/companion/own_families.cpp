// The router, its range call, the floor and the std::function chain on
// the destination axis and, where they build something, connecting.
#include <functional>

#include "families.hpp"
#include "routing_work.hpp"

namespace {

using decision = std::function<bool(const int&)>;

// Calls through to a destination, as a user wraps the destinations they
// already have; the peers' slots do the same.
decision calling(std::shared_ptr<vessa::destination<int>> d)
{
    return [d = std::move(d)](const int& value) { return d->distribute(value); };
}

struct function_chain_of {
    std::vector<decision> listed;
    decision fallback;
};

function_chain_of make_chain(int listed)
{
    axis_destinations destinations = make_axis_destinations(listed);
    function_chain_of chain;
    for (std::shared_ptr<vessa::destination<int>>& d : destinations.listed)
        chain.listed.push_back(calling(std::move(d)));
    chain.fallback = calling(std::move(destinations.fallback));
    return chain;
}

void add_axis_destinations(vessa::router<int>& router, int listed)
{
    for (int i = 0; i < listed; ++i)
        router.add_destination(takes_its_index(i), 1);
    router.set_default_destination(take_all());
}

void router_across_destinations(benchmark::State& state, int listed, taker pattern)
{
    vessa::router<int> router;
    add_axis_destinations(router, listed);
    benchmark::DoNotOptimize(router);
    const std::vector<int> values = axis_values(listed, pattern);
    for (auto _ : state) {
        for (auto it = values.begin(); it != values.end(); ++it)
            router.distribute(it);
    }
    report_values_per_iteration(state, axis_values_per_pass);
}

void range_across_destinations(benchmark::State& state, int listed, taker pattern)
{
    vessa::router<int> router;
    add_axis_destinations(router, listed);
    benchmark::DoNotOptimize(router);
    const std::vector<int> values = axis_values(listed, pattern);
    for (auto _ : state)
        router.distribute(values.begin(), values.end());
    report_values_per_iteration(state, axis_values_per_pass);
}

void floor_across_destinations(benchmark::State& state, int listed, taker pattern)
{
    const axis_destinations owned = make_axis_destinations(listed);
    std::vector<vessa::destination<int>*> pointers;
    for (const std::shared_ptr<vessa::destination<int>>& d : owned.listed)
        pointers.push_back(d.get());
    benchmark::DoNotOptimize(pointers);
    const std::vector<int> values = axis_values(listed, pattern);
    for (auto _ : state) {
        vessa::destination<int>* const* const first = pointers.data();
        vessa::destination<int>* const* const last = first + pointers.size();
        vessa::destination<int>* const fallback = owned.fallback.get();
        for (const int& value : values) {
            vessa::destination<int>* const* d = first;
            while (d != last && !(*d)->distribute(value))
                ++d;
            if (d == last)
                fallback->distribute(value);
        }
    }
    report_values_per_iteration(state, axis_values_per_pass);
}

void function_chain_across_destinations(benchmark::State& state, int listed, taker pattern)
{
    const function_chain_of chain = make_chain(listed);
    benchmark::DoNotOptimize(chain);
    const std::vector<int> values = axis_values(listed, pattern);
    for (auto _ : state) {
        for (const int& value : values) {
            bool taken = false;
            for (const decision& d : chain.listed) {
                if (d(value)) {
                    taken = true;
                    break;
                }
            }
            if (!taken)
                chain.fallback(value);
        }
    }
    report_values_per_iteration(state, axis_values_per_pass);
}

void router_connect(benchmark::State& state, int listed)
{
    for (auto _ : state) {
        vessa::router<int> router;
        add_axis_destinations(router, listed);
        benchmark::DoNotOptimize(router);
    }
}

void function_chain_connect(benchmark::State& state, int listed)
{
    for (auto _ : state) {
        function_chain_of chain = make_chain(listed);
        benchmark::DoNotOptimize(chain);
    }
}

} // namespace

std::vector<routing_family> own_families()
{
    return {
        {"router_distribute", nullptr, router_across_destinations, router_connect},
        {"router_distribute_range", nullptr, range_across_destinations, nullptr},
        {"floor_virtual_calls", nullptr, floor_across_destinations, nullptr},
        {"function_chain", nullptr, function_chain_across_destinations, function_chain_connect},
    };
}
