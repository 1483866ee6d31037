// vessa's routers in the signals that come and go, each destination listed
// by add_destination and ended with its router, and the order and names
// of the runs.
#include <string>

#include <vessa/concurrent_router.hpp>
#include <vessa/router.hpp>

#include "signal_lifetime.hpp"

namespace {

constexpr unsigned signal_lifetime_repeats = 7;
constexpr int signal_destinations[] = {0, 2, 4, 8, 16, 32, 64};

template <typename Router>
struct vessa_subject {
    using signal = Router;

    static void connect(Router& router, refuses_every_value d) { router.add_destination(d); }
};

} // namespace

std::vector<signal_lifetime_family> vessa_signal_lifetime_families()
{
    return {signal_lifetime<vessa_subject<vessa::concurrent_router<int>>>("concurrent_router_lifetime"),
            signal_lifetime<vessa_subject<vessa::router<int>>>("router_lifetime")};
}

void register_signal_lifetime_experiments(const std::vector<signal_lifetime_family>& families)
{
    for (unsigned repeat = 1; repeat <= signal_lifetime_repeats; ++repeat) {
        for (const int destinations : signal_destinations) {
            for (const signal_lifetime_family& family : families) {
                const std::string name = std::string(family.name) + "/destinations:" + std::to_string(destinations)
                                         + "/repeat:" + std::to_string(repeat);
                benchmark::RegisterBenchmark(name.c_str(), family.cycles, destinations);
            }
        }
    }
}
