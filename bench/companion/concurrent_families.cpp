// The concurrent router on one thread, given the destination classes as
// router_distribute is: concurrent_router::distribute(it) per value
// (concurrent_router_distribute) and distribute(first, last)
// (concurrent_router_distribute_range), placed like the router's families
// so that each ratio to them and to the floor is taken side by side.
#include "families.hpp"
#include "family_runs.hpp"
#include "routing_setups.hpp"

std::vector<routing_family> concurrent_families()
{
    using per_value = router_setup<held_as::classes, vessa::concurrent_router<int>>;
    using per_range = range_setup<vessa::concurrent_router<int>>;
    return {
        {"concurrent_router_distribute", run_placed<per_value>, nullptr, run_across_destinations<per_value>, nullptr},
        {"concurrent_router_distribute_range", run_placed<per_range>, nullptr, run_across_destinations<per_range>,
         nullptr},
    };
}
