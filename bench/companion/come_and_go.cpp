// vessa's routers in the objects that come and go, each destination ended
// by the scoped_destination of add_scoped_destination (or, in
// concurrent_router_removing_objects, by remove_destination), and the
// order and names of the runs.
#include <algorithm>
#include <string>
#include <utility>

#include <vessa/concurrent_router.hpp>
#include <vessa/router.hpp>

#include "come_and_go.hpp"

namespace {

constexpr unsigned come_and_go_repeats = 7;
constexpr int objects_destinations[] = {2, 4, 8, 16, 32, 64};

template <typename Router>
struct vessa_subject {
    using shared = Router;
    using scope = vessa::scoped_destination;

    static scope connect(Router& router, refuses_every_value d) { return router.add_scoped_destination(d); }
    static void emit(Router& router, int value) { router.distribute(value); }
};

// Ends each destination by remove_destination, which does not wait for a
// call of it running in another thread, as a signal's disconnect does not.
struct removing_subject {
    using shared = vessa::concurrent_router<int>;
    class scope {
    public:
        scope(shared& router, vessa::destination_id added) : owner(&router), id(added) {}
        scope(scope&& other) noexcept : owner(std::exchange(other.owner, nullptr)), id(other.id) {}
        scope& operator=(scope&&) = delete;
        ~scope()
        {
            if (owner)
                owner->remove_destination(id);
        }

    private:
        shared* owner;
        vessa::destination_id id;
    };

    static scope connect(shared& router, refuses_every_value d) { return {router, router.add_destination(d)}; }
    static void emit(shared& router, int value) { router.distribute(value); }
};

void register_point(const come_and_go_family& family, int destinations, unsigned threads, const std::string& repeat)
{
    const std::string point = std::string(family.name) + "/destinations:" + std::to_string(destinations);
    benchmark::RegisterBenchmark((point + "/cycles" + repeat).c_str(), family.cycles, destinations)
        ->Threads(static_cast<int>(threads))
        ->UseRealTime();
    benchmark::RegisterBenchmark((point + "/changes" + repeat).c_str(), family.changes, destinations)
        ->Threads(static_cast<int>(threads))
        ->UseManualTime();
}

} // namespace

std::vector<come_and_go_family> vessa_come_and_go_families()
{
    return {come_and_go<vessa_subject<vessa::concurrent_router<int>>>("concurrent_router_objects", machine_cores()),
            come_and_go<removing_subject>("concurrent_router_removing_objects", machine_cores()),
            come_and_go<vessa_subject<vessa::router<int>>>("router_objects", 1)};
}

void register_come_and_go_experiments(const std::vector<come_and_go_family>& families)
{
    for (unsigned repeat = 1; repeat <= come_and_go_repeats; ++repeat) {
        const std::string repeat_part = "/repeat:" + std::to_string(repeat);
        for (unsigned threads = 1; threads <= machine_cores(); ++threads) {
            for (const int destinations : objects_destinations) {
                for (const come_and_go_family& family : families) {
                    if (threads <= family.most_threads)
                        register_point(family, destinations, threads, repeat_part);
                }
            }
        }
    }
}
