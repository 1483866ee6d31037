// Each family's state for one experiment, built from a work of
// deciding.hpp, and its pass: one routing of every value. The placement
// sweep, the standard work, the destination axis and connecting all build
// and run the families through these, so each family's loop exists once.
//
// A pass is always inlined into the loop that times it: the placement
// sweep moves that loop, and an out-of-line pass would stay put.
#ifndef VESSA_BENCH_ROUTING_SETUPS_HPP
#define VESSA_BENCH_ROUTING_SETUPS_HPP

#include <functional>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>
#include <vessa/concurrent_router.hpp>
#include <vessa/router.hpp>

#include "deciding.hpp"

// What the router is given: the work's destination classes, its deciding
// lambdas, which the router wraps in a destination of its own, or the
// lambdas declared free of side effects (vessa::take_if) for batches.
enum class held_as { classes, lambdas, take_if };

// timed_test1c's router outlives its loop behind a pointer, so the list is
// read anew for every value; escaping does the same here. The concurrent
// router reads its list anew through an atomic pointer in any case, and
// holds constants that an asm output cannot name: its address escapes.
// Templates, so that each is instantiated where its router is complete.
template <typename T>
void escape(vessa::router<T>& router)
{
    benchmark::DoNotOptimize(router);
}

template <typename T>
void escape(vessa::concurrent_router<T>& router)
{
    benchmark::DoNotOptimize(&router);
}

// router::distribute(it) per value, as timed_test1c calls it:
// router_distribute holds the classes, router_distribute_lambdas the
// lambdas. The concurrent router's families build theirs alike.
template <held_as form, typename Router = vessa::router<int>>
class router_setup {
public:
    template <typename Work>
    explicit router_setup(const Work& work)
    {
        const auto keep = [](const int&) {};
        for (int i = 0; i < work.listed(); ++i) {
            if constexpr (form == held_as::classes)
                router.add_destination(work.destination(i), 1);
            else if constexpr (form == held_as::lambdas)
                router.add_destination(work.decider(i), 1);
            else
                router.add_destination(vessa::take_if(work.decider(i), keep), 1);
        }
        if constexpr (form == held_as::classes)
            router.set_default_destination(take_all());
        else if constexpr (form == held_as::lambdas)
            router.set_default_destination(takes_every_value());
        else
            router.set_default_destination(vessa::take_if(takes_every_value(), keep));
        escape(router);
    }

    [[gnu::always_inline]] void pass(const std::vector<int>& values)
    {
        for (auto it = values.begin(); it != values.end(); ++it)
            router.distribute(it);
    }

protected:
    Router router;
};

// router_distribute_range: router_distribute's router,
// router::distribute(first, last).
template <typename Router = vessa::router<int>>
class range_setup : public router_setup<held_as::classes, Router> {
public:
    using router_setup<held_as::classes, Router>::router_setup;

    [[gnu::always_inline]] void pass(const std::vector<int>& values)
    {
        this->router.distribute(values.begin(), values.end());
    }
};

inline bool decide(vessa::destination<int>* d, const int& value) { return d->distribute(value); }
inline bool decide(const std::function<bool(const int&)>& d, const int& value) { return d(value); }

// The loop of the floor and of the std::function chain: each value offered
// to the listed in turn, then to the fallback if none took it, with the
// list's bounds held in locals for the whole pass.
template <typename Decide>
[[gnu::always_inline]] inline void
offer_in_turn(const std::vector<Decide>& listed, const Decide& fallback, const std::vector<int>& values)
{
    const Decide* const first = listed.data();
    const Decide* const last = first + listed.size();
    for (const int& value : values) {
        const Decide* d = first;
        while (d != last && !decide(*d, value))
            ++d;
        if (d == last)
            decide(fallback, value);
    }
}

// floor_virtual_calls, the limit: the destination classes' virtual calls
// from a plain loop, nothing read again after a call.
class floor_setup {
public:
    template <typename Work>
    explicit floor_setup(const Work& work)
    {
        // Heap objects reached through base pointers, as the router's are.
        for (int i = 0; i < work.listed(); ++i) {
            owned.push_back(on_heap(work.destination(i)));
            listed.push_back(owned.back().get());
        }
        owned.push_back(on_heap(take_all()));
        fallback = owned.back().get();
        benchmark::DoNotOptimize(listed);
    }

    [[gnu::always_inline]] void pass(const std::vector<int>& values) const
    {
        // A local the calls cannot reach, so the default stays in a register.
        vessa::destination<int>* const default_destination = fallback;
        offer_in_turn(listed, default_destination, values);
    }

private:
    template <typename D>
    static std::unique_ptr<vessa::destination<int>> on_heap(D d)
    {
        return std::make_unique<D>(d);
    }

    std::vector<std::unique_ptr<vessa::destination<int>>> owned;
    std::vector<vessa::destination<int>*> listed;
    vessa::destination<int>* fallback = nullptr;
};

// function_chain, what one writes by hand instead of a router: the
// deciding callables as std::function, tried in turn.
class chain_setup {
public:
    template <typename Work>
    explicit chain_setup(const Work& work)
    {
        for (int i = 0; i < work.listed(); ++i)
            listed.emplace_back(work.decider(i));
        fallback = takes_every_value();
        benchmark::DoNotOptimize(listed);
        benchmark::DoNotOptimize(fallback);
    }

    [[gnu::always_inline]] void pass(const std::vector<int>& values) const { offer_in_turn(listed, fallback, values); }

private:
    std::vector<std::function<bool(const int&)>> listed;
    std::function<bool(const int&)> fallback;
};

#endif
