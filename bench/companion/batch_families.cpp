// Batch routing on the destination axis: router::distribute_batch given
// the deciding lambdas (router_batch), and the same decisions declared
// free of side effects with take_if (router_batch_pure), which a batch
// evaluates over every value of a chunk. Batch routing is left out of
// timed_test1c's work: its destinations ignore the value, so a batch of
// them would measure nothing.
#include "families.hpp"
#include "family_runs.hpp"

namespace {

enum class decided_as { lambdas, take_if };

template <decided_as form>
class batch_setup {
public:
    template <typename Work>
    explicit batch_setup(const Work& work)
    {
        const auto keep = [](const int&) {};
        for (int i = 0; i < work.listed(); ++i) {
            if constexpr (form == decided_as::lambdas)
                router.add_destination(work.decider(i), 1);
            else
                router.add_destination(vessa::take_if(work.decider(i), keep), 1);
        }
        if constexpr (form == decided_as::lambdas)
            router.set_default_destination(takes_every_value());
        else
            router.set_default_destination(vessa::take_if(takes_every_value(), keep));
        benchmark::DoNotOptimize(router);
    }

    void pass(const std::vector<int>& values) { router.distribute_batch(values); }

private:
    vessa::router<int> router;
};

} // namespace

std::vector<routing_family> batch_families()
{
    return {
        {"router_batch", nullptr, nullptr, run_across_destinations<batch_setup<decided_as::lambdas>>, nullptr},
        {"router_batch_pure", nullptr, nullptr, run_across_destinations<batch_setup<decided_as::take_if>>, nullptr},
    };
}
