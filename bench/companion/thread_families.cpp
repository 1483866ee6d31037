// The families routed from many threads at once: the concurrent router
// that every thread shares; the single-threaded router behind a
// std::mutex, locked per value, since it writes its own state while
// routing; and the floor, each thread with destinations of its own.
#include <mutex>

#include "concurrent_setups.hpp"
#include "families.hpp"
#include "thread_runs.hpp"

namespace {

class locked_router : public router_setup<held_as::classes> {
public:
    using router_setup::router_setup;

    [[gnu::always_inline]] void pass(const std::vector<int>& values)
    {
        for (auto it = values.begin(); it != values.end(); ++it) {
            const std::lock_guard<std::mutex> lock(mutex);
            router.distribute(it);
        }
    }

    void add_and_remove_one()
    {
        vessa::destination_id added;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            added = router.add_destination(refuse_all(), 1);
        }
        const std::lock_guard<std::mutex> lock(mutex);
        router.remove_destination(added);
    }

private:
    std::mutex mutex;
};

// The floor has nothing to change, so the writer makes the concurrent
// router's changes to a router nobody routes through: the same thread
// competing for the same cores.
class own_floor {
public:
    using changed = shared_concurrent_router;

    template <typename Work>
    explicit own_floor(const Work& work) : own(work)
    {
    }

    [[gnu::always_inline]] void pass(changed&, const std::vector<int>& values) const { own.pass(values); }

private:
    floor_setup own;
};

} // namespace

std::vector<thread_family> thread_families()
{
    using concurrent = through_shared<shared_concurrent_router>;
    using locked = through_shared<locked_router>;
    return {
        {"concurrent_router_threads", run_threads_standard<concurrent>, run_threads_across<concurrent>},
        {"router_mutex_threads", run_threads_standard<locked>, run_threads_across<locked>},
        {"floor_virtual_calls_threads", run_threads_standard<own_floor>, run_threads_across<own_floor>},
    };
}
