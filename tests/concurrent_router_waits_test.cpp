// Waits of a concurrent_router that meet other waits or removals: chains
// of frees through two routers, removals made during a free, the end of a
// scoped destination removed already, sections of several routers nested
// in one another, and two threads each waiting on the router the other is
// routing through. A wait that hangs fails by the watchdog.
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include <vessa/concurrent_router.hpp>

#include "held_call.hpp"
#include "watchdog.hpp"

namespace {

using router = vessa::concurrent_router<int>;
using shared_scope = std::shared_ptr<vessa::scoped_destination>;

// A destination that refuses everything and owns held: the router's copy
// is the last owner.
template <typename Held>
auto owning(Held held)
{
    return [held](const int&) { return false; };
}

const auto refusing = [](const int&) { return false; };

shared_scope share(vessa::scoped_destination scope)
{
    return std::make_shared<vessa::scoped_destination>(std::move(scope));
}

// Freeing in a destroys a copy owning a scoped destination of b; b's free
// destroys a copy owning a scoped destination of a.
TEST(concurrent_router_waits, chain_of_frees_through_two_routers_finishes)
{
    const watchdog w("the chain of frees");
    router a, b;
    shared_scope of_a = share(a.add_scoped_destination(refusing));
    shared_scope of_b = share(b.add_scoped_destination(owning(std::move(of_a))));
    const vessa::destination_id outer = a.add_destination(owning(std::move(of_b)));
    EXPECT_TRUE(a.remove_destination_and_wait(outer));
}

// A copy freed by synchronize() ends a scoped destination of the same
// router, whose copy nothing lists any more either.
TEST(concurrent_router_waits, synchronize_destroys_what_its_own_free_unlisted)
{
    const watchdog w("synchronize");
    router r;
    auto token = std::make_shared<int>();
    const std::weak_ptr<int> inner_copy = token;
    shared_scope inner = share(r.add_scoped_destination(owning(std::move(token))));
    r.remove_destination(r.add_destination(owning(std::move(inner))));
    r.synchronize();
    EXPECT_TRUE(inner_copy.expired());
}

// Between the removal and the end, enough changes that one of them frees
// what no routing call can still read: the copy is retired with the very
// epoch the held call entered with, so it is not among them.
TEST(concurrent_router_waits, scoped_end_waits_for_a_call_of_its_destination_removed_before)
{
    router r;
    held_call call;
    auto token = std::make_shared<int>();
    const std::weak_ptr<int> copy = token;
    vessa::scoped_destination scope = r.add_scoped_destination([&call, token](const int&) {
        call.hold();
        return true;
    });
    token.reset();
    std::thread routing([&] { r.distribute(1); });
    call.entered.wait();
    std::thread([&] { r.remove_destination(scope.id()); }).join();
    for (int change = 0; change < 40; ++change)
        r.remove_destination(r.add_destination(refusing));
    EXPECT_FALSE(copy.expired()) << "freed under the call that runs it";
    EXPECT_FALSE(returns_while_inside(call, [&] { scope = vessa::scoped_destination(); }));
    routing.join();
    EXPECT_TRUE(copy.expired());
}

// A wait waits for the calls of its own router, nested in another
// router's or not, or once such a nested call has ended; not for a thread
// inside another router alone (that wait would hang); and a
// thread inside a router whose call another router's is nested in knows
// it is inside both.
TEST(concurrent_router_waits, waits_for_its_own_calls_nested_or_not_and_for_no_other)
{
    const watchdog w("a wait for a thread inside another router alone");
    router a, b;
    held_call in_a, in_b;
    a.add_destination([&](const int& v) {
        b.distribute(v);
        if (v == 0)
            in_a.hold();
        return true;
    });
    b.add_destination([&](const int& v) {
        if (v != 1)
            return false;
        EXPECT_THROW(a.synchronize(), std::logic_error);
        in_b.hold();
        return true;
    });
    // Having routed through b, the thread is one b's waits look at.
    std::thread inside_a([&] { a.distribute(0); });
    in_a.entered.wait();
    b.synchronize();
    EXPECT_FALSE(returns_while_inside(in_a, [&] { a.synchronize(); }));
    inside_a.join();
    std::thread nested_in_b([&] { a.distribute(1); });
    EXPECT_FALSE(returns_while_inside(in_b, [&] { b.synchronize(); }));
    nested_in_b.join();
}

// Each thread is inside a routing call of one router and waits on the
// other: a wait that would close the cycle is refused, with an exception
// or, ending a scoped destination, quietly. Its router is left shared, so
// that removing the destination the other thread may still run does not
// destroy that copy at once.
TEST(concurrent_router_waits, threads_inside_two_routers_waiting_on_each_other_both_finish)
{
    for (const bool quietly : {false, true}) {
        SCOPED_TRACE(quietly ? "ending a scoped destination" : "synchronize");
        const watchdog w("two threads waiting on each other's routers");
        router a, b;
        gate inside_b;
        std::atomic<int> refused{0};
        std::atomic<bool> a_returned{false};
        auto token_a = std::make_shared<int>(), token_b = std::make_shared<int>();
        const std::weak_ptr<int> copy_in_a = token_a, copy_in_b = token_b;
        shared_scope ended_in_b = share(a.add_scoped_destination(refusing));
        vessa::destination_id running_in_b;
        const vessa::destination_id running_in_a = a.add_destination([&, token_a](const int&) {
            inside_b.wait();
            try {
                b.synchronize();
            } catch (const std::logic_error&) {
                ++refused;
                EXPECT_TRUE(b.remove_destination(running_in_b));
                EXPECT_FALSE(copy_in_b.expired()) << "destroyed while its call may run";
            }
            a_returned = true;
            return true;
        });
        running_in_b = b.add_destination([&, token_b](const int&) {
            // The thread in a waits for this one first, most times.
            const std::uint64_t waits_before = readers_waited_for();
            inside_b.open();
            while (readers_waited_for() == waits_before && !a_returned)
                std::this_thread::yield();
            bool refused_here = false;
            try {
                if (quietly)
                    ended_in_b.reset();
                else
                    a.synchronize();
                // A wait that was not refused found the thread in a gone.
                refused_here = quietly && !a_returned;
            } catch (const std::logic_error&) {
                ++refused;
                refused_here = true;
            }
            if (refused_here) {
                EXPECT_TRUE(a.remove_destination(running_in_a));
                EXPECT_FALSE(copy_in_a.expired()) << "destroyed while its call may run";
            }
            return true;
        });
        token_a.reset();
        token_b.reset();
        std::thread through_a([&] { a.distribute(1); });
        std::thread through_b([&] { b.distribute(1); });
        through_a.join();
        through_b.join();
        EXPECT_GE(refused.load(), quietly ? 0 : 1);
    }
}

// A free of r destroys a copy that owns a scoped destination of s, whose
// end waits for a thread inside s; that thread then waits on r, which
// would wait for the free: its wait is refused, and both finish.
TEST(concurrent_router_waits, wait_for_a_free_that_waits_for_the_waiter_is_refused)
{
    const watchdog w("a wait on a free that waits for the waiter");
    router r, s;
    gate inside_s;
    std::atomic<int> refused{0};
    s.add_destination([&](const int&) {
        const std::uint64_t waits_before = readers_waited_for();
        inside_s.open();
        while (readers_waited_for() == waits_before)
            std::this_thread::yield();
        try {
            r.synchronize();
        } catch (const std::logic_error&) {
            ++refused;
        }
        return true;
    });
    const vessa::destination_id holding = r.add_destination(owning(share(s.add_scoped_destination(refusing))));
    std::thread inside([&] {
        r.distribute(0);
        s.distribute(0);
    });
    inside_s.wait();
    EXPECT_TRUE(r.remove_destination_and_wait(holding));
    inside.join();
    EXPECT_EQ(refused, 1);
}

// A thread inside r3 with r4's call nested in it holds up no wait of r1,
// and waiting on r2 meanwhile closes no cycle with a thread inside r2 that
// waits on r1: both waits return, neither is refused.
TEST(concurrent_router_waits, nested_calls_of_other_routers_close_no_cycle)
{
    const watchdog w("two waits that are no cycle");
    router r1, r2, r3, r4;
    gate inside_r2, inside_r4;
    std::atomic<int> refused{0};
    const auto counted = [&refused](auto wait) {
        try {
            wait();
        } catch (const std::logic_error&) {
            ++refused;
        }
    };
    r3.add_destination([&](const int& v) { return r4.distribute(v), true; });
    r4.add_destination([&](const int&) {
        inside_r4.open();
        inside_r2.wait();
        counted([&] { r2.synchronize(); });
        return true;
    });
    r2.add_destination([&](const int&) {
        inside_r2.open();
        inside_r4.wait();
        counted([&] { r1.synchronize(); });
        return true;
    });
    std::thread through_r3([&] {
        r1.distribute(0);
        r3.distribute(1);
    });
    std::thread through_r2([&] { r2.distribute(1); });
    through_r3.join();
    through_r2.join();
    EXPECT_EQ(refused, 0);
}

// A wait whose removal came before another waiter's grace period began
// waits for that one to end rather than start its own, and returns only
// once the call that period waits for has returned.
TEST(concurrent_router_waits, a_waiter_shares_a_grace_period_begun_after_its_removal)
{
    const watchdog w("two waits sharing one grace period");
    router r;
    held_call call;
    const vessa::destination_id held = r.add_destination([&call](const int&) { return call.hold(), true; });
    std::thread routing([&] { r.distribute(0); });
    call.entered.wait();
    r.remove_destination(held);
    const std::uint64_t waits_before = readers_waited_for();
    std::thread first([&] { r.synchronize(); });
    while (readers_waited_for() == waits_before)
        std::this_thread::yield();
    const auto shared = [] { return vessa::detail::read_domain::of_process().grace_periods_shared.load(); };
    EXPECT_FALSE(returns_while_inside(
        call, [&] { r.remove_destination_and_wait(held); }, shared));
    first.join();
    routing.join();
    EXPECT_EQ(readers_waited_for(), waits_before + 1) << "the second wait looked at the reader itself";
}

} // namespace
