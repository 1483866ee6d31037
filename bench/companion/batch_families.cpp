// Batch routing on the destination axis: router::distribute_batch with
// the deciding lambdas as destinations, and with the same decisions
// declared free of side effects (take_if), so that they are evaluated over
// every value of a chunk.
#include "families.hpp"
#include "routing_work.hpp"

namespace {

template <typename Add>
void time_batches(benchmark::State& state, int listed, taker pattern, Add add_destinations)
{
    vessa::router<int> router;
    add_destinations(router, listed);
    benchmark::DoNotOptimize(router);
    const std::vector<int> values = axis_values(listed, pattern);
    for (auto _ : state)
        router.distribute_batch(values);
    report_values_per_iteration(state, axis_values_per_pass);
}

void batch_across_destinations(benchmark::State& state, int listed, taker pattern)
{
    time_batches(state, listed, pattern, [](vessa::router<int>& router, int count) {
        for (int i = 0; i < count; ++i)
            router.add_destination([i](const int& value) { return value == i; });
        router.set_default_destination([](const int&) { return true; });
    });
}

void batch_pure_across_destinations(benchmark::State& state, int listed, taker pattern)
{
    time_batches(state, listed, pattern, [](vessa::router<int>& router, int count) {
        const auto keep = [](const int&) {};
        for (int i = 0; i < count; ++i)
            router.add_destination(vessa::take_if([i](const int& value) { return value == i; }, keep));
        router.set_default_destination(vessa::take_if([](const int&) { return true; }, keep));
    });
}

} // namespace

std::vector<routing_family> batch_families()
{
    return {
        {"router_batch", nullptr, batch_across_destinations, nullptr},
        {"router_batch_pure", nullptr, batch_pure_across_destinations, nullptr},
    };
}
