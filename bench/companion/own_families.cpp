// The router with destination classes and with lambdas, its range call,
// the floor and the std::function chain.
#include "families.hpp"
#include "family_runs.hpp"
#include "routing_setups.hpp"

std::vector<routing_family> own_families()
{
    using with_classes = router_setup<held_as::classes>;
    using with_lambdas = router_setup<held_as::lambdas>;
    // The range call shares the router's connecting; the floor is a bare
    // list, with nothing of its own to build.
    return {
        {"router_distribute", run_placed<with_classes>, nullptr, run_across_destinations<with_classes>,
         run_connect<with_classes>},
        {"router_distribute_lambdas", run_placed<with_lambdas>, nullptr, run_across_destinations<with_lambdas>,
         run_connect<with_lambdas>},
        {"router_distribute_range", run_placed<range_setup<>>, nullptr, run_across_destinations<range_setup<>>,
         nullptr},
        {"floor_virtual_calls", run_placed<floor_setup>, nullptr, run_across_destinations<floor_setup>, nullptr},
        {"function_chain", run_placed<chain_setup>, nullptr, run_across_destinations<chain_setup>,
         run_connect<chain_setup>},
    };
}
