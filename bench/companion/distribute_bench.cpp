// A high-resolution companion to timed_test1c: the same routing work, timed
// per pass over 0 ... N - 1 for N = 1, 2, 4 ... 2^20, beside two points of
// comparison. Every value is refused by three listed destinations and taken
// by the default, so each value costs four calls in all three families:
//
//   router_distribute     vessa::router<int>::distribute, as timed_test1c;
//   floor_virtual_calls   the same four virtual calls made by a plain loop
//                         over an array of destination pointers: the cost
//                         of the calls alone;
//   function_chain        three std::function<bool(const int&)> tried in
//                         turn, then a fourth: what one writes by hand
//                         instead of a router.
//
// Each family reports the time of one pass, items (values) per second and
// a fitted complexity, which should be O(N).
//
// timed_test1c reaches its router through a pointer that outlives the loop,
// so after every call the compiler must reload the list of destinations
// before the next value. Each family here hands its list to
// benchmark::DoNotOptimize for the same effect; otherwise the compiler
// would keep the list in registers, a case timed_test1c never sees.
#include <functional>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>
#include <vessa/router.hpp>

namespace {

class refuse_all : public vessa::destination<int> {
public:
    bool distribute(const int&) override { return false; }
};

class take_all : public vessa::destination<int> {
public:
    bool distribute(const int&) override { return true; }
};

constexpr int listed_count = 3;
constexpr int largest_size = 1 << 20;

std::vector<int> ascending_values(const benchmark::State& state)
{
    std::vector<int> values(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<int>(i);
    return values;
}

void report_values_per_pass(benchmark::State& state)
{
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void router_distribute(benchmark::State& state)
{
    vessa::router<int> router;
    for (int i = 0; i < listed_count; ++i)
        router.add_destination(refuse_all(), 1);
    router.set_default_destination(take_all());
    benchmark::DoNotOptimize(router);
    const std::vector<int> values = ascending_values(state);

    for (auto _ : state) {
        for (auto it = values.begin(); it != values.end(); ++it)
            router.distribute(it);
    }
    report_values_per_pass(state);
}

void floor_virtual_calls(benchmark::State& state)
{
    // Heap objects reached through base pointers, as the router's are.
    std::vector<std::unique_ptr<vessa::destination<int>>> owned;
    std::vector<vessa::destination<int>*> listed;
    for (int i = 0; i < listed_count; ++i) {
        owned.push_back(std::make_unique<refuse_all>());
        listed.push_back(owned.back().get());
    }
    owned.push_back(std::make_unique<take_all>());
    vessa::destination<int>* const fallback = owned.back().get();
    benchmark::DoNotOptimize(listed);
    const std::vector<int> values = ascending_values(state);

    for (auto _ : state) {
        for (auto it = values.begin(); it != values.end(); ++it) {
            bool taken = false;
            for (vessa::destination<int>* const d : listed) {
                if (d->distribute(*it)) {
                    taken = true;
                    break;
                }
            }
            if (!taken)
                fallback->distribute(*it);
        }
    }
    report_values_per_pass(state);
}

void function_chain(benchmark::State& state)
{
    using decision = std::function<bool(const int&)>;
    std::vector<decision> listed(listed_count, [](const int&) { return false; });
    decision fallback = [](const int&) { return true; };
    benchmark::DoNotOptimize(listed);
    benchmark::DoNotOptimize(fallback);
    const std::vector<int> values = ascending_values(state);

    for (auto _ : state) {
        for (auto it = values.begin(); it != values.end(); ++it) {
            bool taken = false;
            for (const decision& d : listed) {
                if (d(*it)) {
                    taken = true;
                    break;
                }
            }
            if (!taken)
                fallback(*it);
        }
    }
    report_values_per_pass(state);
}

void sweep_sizes(benchmark::internal::Benchmark* family)
{
    family->RangeMultiplier(2)->Range(1, largest_size)->Complexity(benchmark::oN);
}

} // namespace

BENCHMARK(router_distribute)->Apply(sweep_sizes);
BENCHMARK(floor_virtual_calls)->Apply(sweep_sizes);
BENCHMARK(function_chain)->Apply(sweep_sizes);
