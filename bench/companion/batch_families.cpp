// Batch routing on the destination axis: router::distribute_batch given
// the deciding lambdas (router_batch), and the same decisions declared
// free of side effects with take_if (router_batch_pure), which a batch
// evaluates over every value of a chunk. Batch routing is left out of
// timed_test1c's work: its destinations ignore the value, so a batch of
// them would measure nothing.
#include "families.hpp"
#include "family_runs.hpp"
#include "routing_setups.hpp"

namespace {

template <held_as form>
class batch_setup : public router_setup<form> {
public:
    using router_setup<form>::router_setup;

    void pass(const std::vector<int>& values) { this->router.distribute_batch(values); }
};

} // namespace

std::vector<routing_family> batch_families()
{
    return {
        {"router_batch", nullptr, nullptr, run_across_destinations<batch_setup<held_as::lambdas>>, nullptr},
        {"router_batch_pure", nullptr, nullptr, run_across_destinations<batch_setup<held_as::take_if>>, nullptr},
    };
}
