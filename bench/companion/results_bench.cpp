// results_bench: what the router's result, its sorted order and its
// report-and-go-on policy cost per value, on both routers. Each gets the very
// deciding lambdas of distribute_bench's destination axis, listed with
// distinct priorities 1 ... K, so that the two orders list them apart:
//   router_ignored    distribute(it), its result ignored: routing as before
//   router_control    distribute(*it), the same work in a loop of its own:
//                     what placement alone moves
//   router_used       distribute(it), each result counted by its kind
//   router_sorted     listing::sorted, the result ignored
//   router_reporting  an exception handler that nothing calls, as nothing
//                     throws, the result ignored
//   router_range, router_range_reporting
//                     distribute(first, last), propagating and reporting
//   concurrent_ignored, concurrent_used, concurrent_sorted,
//   concurrent_reporting
//                     concurrent_router on one thread, as the router's,
//                     compared with concurrent_ignored
// at 3 and 64 destinations, with nobody taking and with random takers.
// Then what a change costs in each order, at the same points:
//   router_heap_change/CHANGE, router_sorted_change/CHANGE
// for CHANGE add_remove (an addition and its removal, two changes) and
// set_priority, ns per change.
// Beside router_used, the peers that can say which slot took a value
// (result_peers.hpp), each value's answer counted by its kind, when their
// libraries are found:
//   signals2_dummy_mutex_first_taker_index
//                     Boost.Signals2, single-threaded, a combiner returning
//                     the index of the first slot that returns true
//   sigc_first_taker_index
//                     libsigc++ 3, an accumulator returning the same
// Sixteen rounds, all side by side at every point of each, then per point
// each router's ratio to router_ignored, each peer's to router_used, and
// sorted's to heap's changes, with their 95 % intervals.
//
// A program of its own, as tracking_bench is: tools/plot_companion reads
// distribute_bench's saved runs and refuses entries it does not know.
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <iomanip>
#include <ostream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <vessa/concurrent_router.hpp>
#include <vessa/router.hpp>

#include "axis_work.hpp"
#include "benchmark_setup.hpp"
#include "deciding.hpp"
#include "ratio_interval.hpp"
#include "result_peers.hpp"
#include "round_figures.hpp"
#include "routing_setups.hpp"
#include "routing_work.hpp"

namespace {

constexpr unsigned rounds = 16;

enum class variant { ignored, used, sorted, reporting, control, range, range_reporting };

struct compared {
    variant kind;
    bool concurrent;
    const char* family;
    // In the summary, and the family it is compared with there (none for
    // the one the others are compared with).
    const char* label;
    const char* against;
};
constexpr std::array<compared, 11> variants{{
    {variant::ignored, false, "router_ignored", "ignored", nullptr},
    {variant::control, false, "router_control", "control", "router_ignored"},
    {variant::used, false, "router_used", "used", "router_ignored"},
    {variant::sorted, false, "router_sorted", "sorted", "router_ignored"},
    {variant::reporting, false, "router_reporting", "reporting", "router_ignored"},
    {variant::range, false, "router_range", "range", "router_ignored"},
    {variant::range_reporting, false, "router_range_reporting", "range_reporting", "router_range"},
    {variant::ignored, true, "concurrent_ignored", "concurrent", "router_ignored"},
    {variant::used, true, "concurrent_used", "concurrent_used", "concurrent_ignored"},
    {variant::sorted, true, "concurrent_sorted", "concurrent_sorted", "concurrent_ignored"},
    {variant::reporting, true, "concurrent_reporting", "concurrent_reporting", "concurrent_ignored"},
}};

// Returned as a prvalue: concurrent_router can be neither copied nor moved.
template <typename Router>
Router make_router(variant v)
{
    if (v == variant::sorted)
        return Router(vessa::listing::sorted);
    if (v == variant::reporting || v == variant::range_reporting)
        return Router([](std::exception_ptr, vessa::destination_id) {});
    return Router();
}

struct point {
    int listed;
    taker pattern;

    std::string name() const { return "destinations:" + std::to_string(listed) + "/taker:" + pattern_name(pattern); }
};

template <typename Router>
void run(benchmark::State& state, const point& at, variant v)
{
    const destination_axis_work work{at.listed};
    Router router = make_router<Router>(v);
    for (int i = 0; i < work.listed(); ++i)
        router.add_destination(work.decider(i), static_cast<unsigned>(i + 1));
    router.set_default_destination(takes_every_value());
    escape(router);
    const std::vector<int> values = axis_values(at.listed, at.pattern);
    if (v == variant::used) {
        std::size_t taken = 0;
        std::size_t defaulted = 0;
        for (auto _ : state) {
            for (auto it = values.begin(); it != values.end(); ++it) {
                const vessa::outcome result = router.distribute(it).result;
                taken += result == vessa::outcome::taken;
                defaulted += result == vessa::outcome::defaulted;
            }
        }
        benchmark::DoNotOptimize(taken);
        benchmark::DoNotOptimize(defaulted);
    } else if (v == variant::range || v == variant::range_reporting) {
        for (auto _ : state)
            router.distribute(values.begin(), values.end());
    } else if (v == variant::control) {
        for (auto _ : state) {
            for (const int& value : values)
                router.distribute(value);
        }
    } else {
        for (auto _ : state) {
            for (auto it = values.begin(); it != values.end(); ++it)
                router.distribute(it);
        }
    }
    report_values_per_iteration(state, static_cast<std::int64_t>(values.size()));
}

enum class change { add_remove, set_priority };
constexpr std::array<change, 2> changes{change::add_remove, change::set_priority};

const char* change_name(change c) { return c == change::add_remove ? "add_remove" : "set_priority"; }

void run_change(benchmark::State& state, int listed, vessa::listing order, change c)
{
    const destination_axis_work work{listed};
    vessa::router<int> router(order);
    std::vector<vessa::destination_id> ids;
    for (int i = 0; i < work.listed(); ++i)
        ids.push_back(router.add_destination(work.decider(i), static_cast<unsigned>(i + 1)));
    router.set_default_destination(takes_every_value());
    escape(router);
    // Priorities among the listed ones, so that each change moves
    // something in both orders.
    std::size_t next = 0;
    const auto some_priority = [&next, listed] { return static_cast<unsigned>(next * 7 % listed + 1); };
    for (auto _ : state) {
        if (c == change::add_remove) {
            router.remove_destination(router.add_destination(work.decider(0), some_priority()));
        } else {
            router.set_priority(ids[next % ids.size()], some_priority());
        }
        ++next;
    }
    report_values_per_iteration(state, c == change::add_remove ? 2 : 1);
}

std::string change_family(vessa::listing order, change c)
{
    return std::string(order == vessa::listing::sorted ? "router_sorted_change/" : "router_heap_change/")
           + change_name(c);
}

void print_comparison(std::ostream& out, const round_figures& figures, const std::vector<point>& points,
                      const std::vector<result_peer>& peers)
{
    out << "\nns of CPU time per value, median of " << rounds
        << " rounds; each / router_ignored, range_reporting / range, each peer / router_used [95% CI]\n"
        << std::fixed << std::setprecision(2);
    for (const point& at : points) {
        const auto of = [&](const char* family) { return figures_of(figures, std::string(family) + "/" + at.name()); };
        out << std::left << std::setw(28) << at.name() << std::right << "  ignored " << median_of(of("router_ignored"));
        for (const compared& c : variants) {
            if (c.against)
                out << "  " << c.label << " " << with_interval(median_ratio(of(c.family), of(c.against)));
        }
        for (const result_peer& peer : peers)
            out << "  " << peer.label << " " << with_interval(median_ratio(of(peer.family), of("router_used")));
        out << "\n";
    }
    out << "\nns per change, median of " << rounds << " rounds; sorted / heap [95% CI]\n";
    for (const int listed : axis_repeated_counts) {
        for (const change c : changes) {
            const std::string at = "/destinations:" + std::to_string(listed);
            const std::vector<double>& heap = figures_of(figures, change_family(vessa::listing::heap, c) + at);
            const std::vector<double>& sorted = figures_of(figures, change_family(vessa::listing::sorted, c) + at);
            out << std::left << std::setw(28) << std::string(change_name(c)) + at << std::right << "  heap "
                << median_of(heap) << "  sorted " << median_of(sorted) << "  "
                << with_interval(median_ratio(sorted, heap)) << "\n";
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (!initialize_benchmark(argc, argv))
        return 1;

    std::vector<result_peer> peers;
#ifdef VESSA_WITH_SIGNALS2
    peers.push_back(signals2_result_peer());
#endif
#ifdef VESSA_WITH_SIGC
    peers.push_back(sigc_result_peer());
#endif
    std::vector<point> points;
    for (const int listed : axis_repeated_counts) {
        for (const taker pattern : {taker::none, taker::random})
            points.push_back({listed, pattern});
    }
    for (unsigned round = 1; round <= rounds; ++round) {
        for (const point& at : points) {
            for (const compared& c : variants) {
                const std::string name = std::string(c.family) + "/" + at.name() + "/repeat:" + std::to_string(round);
                const variant v = c.kind;
                if (c.concurrent)
                    benchmark::RegisterBenchmark(name.c_str(), [at, v](benchmark::State& state) {
                        run<vessa::concurrent_router<int>>(state, at, v);
                    });
                else
                    benchmark::RegisterBenchmark(
                        name.c_str(), [at, v](benchmark::State& state) { run<vessa::router<int>>(state, at, v); });
            }
            for (const result_peer& peer : peers) {
                const std::string name
                    = std::string(peer.family) + "/" + at.name() + "/repeat:" + std::to_string(round);
                benchmark::RegisterBenchmark(
                    name.c_str(), [at, peer](benchmark::State& state) { peer.run(state, at.listed, at.pattern); });
            }
        }
        for (const int listed : axis_repeated_counts) {
            for (const change c : changes) {
                for (const vessa::listing order : {vessa::listing::heap, vessa::listing::sorted}) {
                    const std::string name = change_family(order, c) + "/destinations:" + std::to_string(listed)
                                             + "/repeat:" + std::to_string(round);
                    benchmark::RegisterBenchmark(name.c_str(), [listed, order, c](benchmark::State& state) {
                        run_change(state, listed, order, c);
                    });
                }
            }
        }
    }
    round_figures_reporter reporter([&points, &peers](std::ostream& out, const round_figures& figures) {
        print_comparison(out, figures, points, peers);
    });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
