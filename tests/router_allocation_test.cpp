// Makes each allocation inside add_destination and set_default_destination
// fail in turn, and checks that the router is left as it was and that
// nothing leaks.
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <vessa/router.hpp>

#include "recording_destination.hpp"

namespace {

// Allocations left before one fails; negative means never.
long allocations_until_failure = -1;
long outstanding_allocations = 0;

void* allocate(std::size_t size)
{
    if (allocations_until_failure == 0)
        throw std::bad_alloc();
    if (allocations_until_failure > 0)
        --allocations_until_failure;
    void* const memory = std::malloc(size == 0 ? 1 : size);
    if (!memory)
        throw std::bad_alloc();
    ++outstanding_allocations;
    return memory;
}

void release(void* memory)
{
    if (!memory)
        return;
    --outstanding_allocations;
    std::free(memory);
}

} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { release(memory); }
void operator delete[](void* memory) noexcept { release(memory); }
void operator delete(void* memory, std::size_t) noexcept { release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { release(memory); }

namespace {

using names = std::vector<std::string>;

class allocation_failure : public ::testing::Test {
protected:
    // The names offered one value, with allocation failures switched off.
    names offered(vessa::router<int>& router)
    {
        log.clear();
        const std::vector<int> input{1};
        router.distribute(input.begin());
        names result;
        for (const offer& o : log)
            result.push_back(o.name);
        return result;
    }

    // Runs `change` with the n-th allocation failing, for n = 0, 1, ...,
    // until it succeeds. After each failure the router offers values to
    // the same destinations as before, and nothing was left allocated.
    template <typename Change>
    void fail_each_allocation_of(vessa::router<int>& router, Change change)
    {
        const names before = offered(router);
        for (long countdown = 0;; ++countdown) {
            const long outstanding = outstanding_allocations;
            const int alive = recording_destination::alive;
            allocations_until_failure = countdown;
            bool failed = false;
            try {
                change();
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            allocations_until_failure = -1;
            if (!failed) {
                EXPECT_GT(countdown, 0) << "the change allocated nothing";
                return;
            }
            EXPECT_EQ(outstanding_allocations, outstanding) << "leak with allocation " << countdown << " failing";
            EXPECT_EQ(recording_destination::alive, alive) << "destination leaked, allocation " << countdown;
            EXPECT_EQ(offered(router), before) << "router changed, allocation " << countdown;
        }
    }

    recording_destination named(const std::string& name, bool takes) { return recording_destination(name, takes, log); }

    std::vector<offer> log;
};

TEST_F(allocation_failure, in_add_destination_leaves_router_unchanged)
{
    vessa::router<int> router;
    router.add_destination(named("a", false), 1);
    router.add_destination(named("b", false), 2);
    router.set_default_destination(named("default", true));
    const recording_destination added = named("c", false);
    fail_each_allocation_of(router, [&] { router.add_destination(added, 3); });
    EXPECT_EQ(offered(router), (names{"c", "a", "b", "default"}));
}

TEST_F(allocation_failure, in_set_default_destination_keeps_previous_default)
{
    vessa::router<int> router;
    router.add_destination(named("a", false), 1);
    router.set_default_destination(named("old", true));
    const recording_destination replacement = named("new", true);
    fail_each_allocation_of(router, [&] { router.set_default_destination(replacement); });
    EXPECT_EQ(offered(router), (names{"a", "new"}));
}

// The same from inside a destination, while the router is routing and
// must keep the list being walked.
TEST_F(allocation_failure, while_routing_leaves_router_unchanged)
{
    vessa::router<int> router;
    router.add_destination(named("a", false), 2);
    router.set_default_destination(named("first", true));
    const recording_destination added = named("c", false);
    const recording_destination replacement = named("new", true);
    bool changed = false;
    router.add_destination(
        [&](const int& value) {
            if (value != 99)
                return false;
            // Brings the bookkeeping of changes into being, which stays
            // until the routing ends and is no leak.
            router.set_default_destination(named("old", true));
            fail_each_allocation_of(router, [&] { router.add_destination(added, 3); });
            fail_each_allocation_of(router, [&] { router.set_default_destination(replacement); });
            changed = true;
            return true;
        },
        1);
    router.distribute(99);
    EXPECT_TRUE(changed);
    EXPECT_EQ(offered(router), (names{"c", "a", "new"}));
}

TEST_F(allocation_failure, of_the_count_cell_deletes_the_handed_destination)
{
    const int alive = recording_destination::alive;
    recording_destination* const target = new recording_destination(named("d", true));
    allocations_until_failure = 0;
    EXPECT_THROW(vessa::router<int>::destination_handle(target, 1), std::bad_alloc);
    allocations_until_failure = -1;
    EXPECT_EQ(recording_destination::alive, alive);
}

TEST_F(allocation_failure, nothing_outstanding_after_router_is_destroyed)
{
    const long outstanding = outstanding_allocations;
    {
        vessa::router<int> router;
        for (unsigned priority = 0; priority < 20; ++priority)
            router.add_destination(named("d", false), priority);
        router.set_default_destination(named("first", true));
        router.set_default_destination(named("second", true));
    }
    EXPECT_EQ(outstanding_allocations, outstanding);
}

} // namespace
