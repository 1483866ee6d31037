#include "routers_axis.hpp"

#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "routing_setups.hpp"
#include "routing_work.hpp"

namespace {

constexpr unsigned routers_repeats = 7;
constexpr int routers_counts[] = {1, 10, 100, 1000, 10000};
// A multiple of every count, so that each router routes as many values.
constexpr int values_per_pass = 10000;

// A default alone: the destination axis's work with nothing listed.
const destination_axis_work default_alone{0};

template <typename Setup>
void run_across_routers(benchmark::State& state, int routers)
{
    // Each on the heap, as objects that own a router hold theirs.
    std::vector<std::unique_ptr<Setup>> live;
    for (int i = 0; i < routers; ++i)
        live.push_back(std::make_unique<Setup>(default_alone));
    const std::vector<int> one_value = ascending_values(1);
    // Each router's first call, once, before the clock: what a thread
    // pays to route through a router anew is the objects' experiment's.
    for (const std::unique_ptr<Setup>& setup : live)
        setup->pass(one_value);
    for (auto _ : state) {
        for (int round = 0; round < values_per_pass / routers; ++round) {
            for (const std::unique_ptr<Setup>& setup : live)
                setup->pass(one_value);
        }
    }
    report_values_per_iteration(state, values_per_pass);
}

} // namespace

void register_routers_experiments()
{
    const struct {
        const char* name;
        void (*run)(benchmark::State&, int);
    } families[] = {
        {"router_distribute", run_across_routers<router_setup<held_as::classes>>},
        {"concurrent_router_distribute",
         run_across_routers<router_setup<held_as::classes, vessa::concurrent_router<int>>>},
        {"floor_virtual_calls", run_across_routers<floor_setup>},
    };
    for (unsigned repeat = 1; repeat <= routers_repeats; ++repeat) {
        for (const int routers : routers_counts) {
            for (const auto& family : families) {
                const std::string name = std::string(family.name) + "/routers:" + std::to_string(routers)
                                         + "/repeat:" + std::to_string(repeat);
                benchmark::RegisterBenchmark(name.c_str(), family.run, routers);
            }
        }
    }
}
