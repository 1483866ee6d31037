// Waits of a concurrent_router that meet other waits or removals: chains
// of frees through two routers, removals made during a free, the end of a
// scoped destination removed already, and two threads each waiting on the
// router the other is routing through. A wait that hangs fails by the
// test's timeout.
#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include <vessa/concurrent_router.hpp>

#include "held_call.hpp"

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
    router r;
    auto token = std::make_shared<int>();
    const std::weak_ptr<int> inner_copy = token;
    shared_scope inner = share(r.add_scoped_destination(owning(std::move(token))));
    r.remove_destination(r.add_destination(owning(std::move(inner))));
    r.synchronize();
    EXPECT_TRUE(inner_copy.expired());
}

TEST(concurrent_router_waits, scoped_end_waits_for_a_call_of_its_destination_removed_before)
{
    router r;
    held_call call;
    vessa::scoped_destination scope = r.add_scoped_destination([&call](const int&) {
        call.hold();
        return true;
    });
    std::thread routing([&] { r.distribute(1); });
    call.entered.wait();
    std::thread([&] { r.remove_destination(scope.id()); }).join();
    EXPECT_FALSE(returns_while_inside(call, [&] { scope = vessa::scoped_destination(); }));
    routing.join();
}

// A wait waits for the calls of its own router, nested in another
// router's or not, and not for a thread inside another router alone (that
// wait would hang).
TEST(concurrent_router_waits, waits_for_its_own_calls_nested_or_not_and_for_no_other)
{
    router a, b;
    held_call in_a, in_b;
    a.add_destination([&](const int& v) { return v == 0 ? (in_a.hold(), true) : (b.distribute(v), true); });
    b.add_destination([&in_b](const int& v) { return v != 1 || (in_b.hold(), true); });
    // Having routed through b, the thread is one b's waits look at.
    std::thread inside_a([&] {
        b.distribute(2);
        a.distribute(0);
    });
    in_a.entered.wait();
    b.synchronize();
    in_a.release.open();
    inside_a.join();
    std::thread nested_in_b([&] { a.distribute(1); });
    EXPECT_FALSE(returns_while_inside(in_b, [&] { b.synchronize(); }));
    nested_in_b.join();
}

// Each thread is inside a routing call of one router and waits on the
// other: a wait that would close the cycle is refused.
TEST(concurrent_router_waits, threads_inside_two_routers_waiting_on_each_other_both_finish)
{
    router a, b;
    gate inside_a, inside_b;
    std::atomic<int> refused{0};
    const auto refusal_counted = [&refused](auto wait) {
        try {
            wait();
        } catch (const std::logic_error&) {
            ++refused;
        }
    };
    const vessa::destination_id waited_for = a.add_destination(refusing);
    a.add_destination([&](const int&) {
        inside_a.open();
        inside_b.wait();
        refusal_counted([&] { b.synchronize(); });
        return true;
    });
    b.add_destination([&](const int&) {
        inside_b.open();
        inside_a.wait();
        refusal_counted([&] { a.remove_destination_and_wait(waited_for); });
        return true;
    });
    std::thread through_a([&] { a.distribute(1); });
    std::thread through_b([&] { b.distribute(1); });
    through_a.join();
    through_b.join();
    EXPECT_GE(refused.load(), 1);
}

} // namespace
