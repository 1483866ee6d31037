// Makes each allocation inside add_destination and set_default_destination
// fail in turn, and checks that the router is left as it was and that
// nothing leaks; counts the allocations that small destinations cost.
#include <array>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <vessa/router.hpp>

#include "recording_destination.hpp"

namespace {

// Allocations left before one fails; negative means never.
long allocations_until_failure = -1;
long outstanding_allocations = 0;
long allocations_made = 0;

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
    ++allocations_made;
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

template <typename Change>
long allocations_of(Change change)
{
    const long before = allocations_made;
    change();
    return allocations_made - before;
}

struct counter {
    int heard = 0;
    bool on(const int& value)
    {
        heard += value;
        return false;
    }
};

// Small and moved without throwing, but its copy throws while
// copies_left is 0.
struct copy_may_throw {
    explicit copy_may_throw(const int& left) : copies_left(&left) {}
    copy_may_throw(const copy_may_throw& other) : copies_left(other.copies_left)
    {
        if (*copies_left == 0)
            throw std::runtime_error("copy refused");
    }
    copy_may_throw(copy_may_throw&&) noexcept = default;
    bool operator()(const int&) const { return true; }

    const int* copies_left;
};

constexpr std::size_t cycled = 20;

// Lists `cycled` lambdas and member functions, and removes them in
// another order than they were added.
void add_and_remove_small(vessa::router<int>& router, counter& c)
{
    std::array<vessa::destination_id, cycled> ids;
    for (unsigned i = 0; i < cycled; ++i) {
        ids[i] = i % 2
                     ? router.add_destination(&counter::on, &c, i)
                     : router.add_destination([&c, i](const int& v) { return c.heard == static_cast<int>(i) + v; }, i);
    }
    for (std::size_t i = 0; i < cycled; ++i)
        EXPECT_TRUE(router.remove_destination(ids[(i * 7) % cycled]));
}

TEST(allocation_count, empty_router_allocates_nothing)
{
    EXPECT_EQ(allocations_of([] {
                  const vessa::router<int> router;
                  EXPECT_TRUE(router.empty());
              }),
              0);
}

TEST(allocation_count, first_small_destination_allocates_at_most_once)
{
    counter c;
    vessa::router<int> for_lambda;
    EXPECT_LE(allocations_of([&] { for_lambda.add_destination([](const int& v) { return v < 0; }); }), 1);
    vessa::router<int> for_member;
    EXPECT_LE(allocations_of([&] { for_member.add_destination(&counter::on, &c); }), 1);
}

TEST(allocation_count, small_destinations_come_and_go_without_allocating_once_grown)
{
    vessa::router<int> router;
    counter c;
    add_and_remove_small(router, c);
    EXPECT_EQ(allocations_of([&] { add_and_remove_small(router, c); }), 0);
    EXPECT_TRUE(router.empty());
}

// A failed copy leaves the router as it was and its slot free again: were
// the slots it took lost, the cycle after would need new ones.
TEST(allocation_count, a_copy_that_throws_keeps_its_slot_free)
{
    vessa::router<int> router;
    counter c;
    add_and_remove_small(router, c);
    const int copies_left = 0;
    const copy_may_throw refused(copies_left);
    for (std::size_t i = 0; i < cycled; ++i)
        EXPECT_THROW(router.add_destination(refused), std::runtime_error);
    EXPECT_TRUE(router.empty());
    EXPECT_EQ(allocations_of([&] { add_and_remove_small(router, c); }), 0);
}

} // namespace
