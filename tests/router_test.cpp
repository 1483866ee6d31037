#include <climits>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include <vessa/router.hpp>

#include "heap_order.hpp"
#include "recording_destination.hpp"

namespace {

using handle = vessa::router<int>::destination_handle;

class router_test : public ::testing::Test {
protected:
    void SetUp() override { alive_before = recording_destination::alive; }
    void TearDown() override { EXPECT_EQ(recording_destination::alive, alive_before) << "a destination leaked"; }

    recording_destination refuses(const std::string& name) { return recording_destination(name, false, log); }
    recording_destination takes(const std::string& name) { return recording_destination(name, true, log); }

    // The names of the destinations offered one value, in order.
    std::vector<std::string> offered_to(vessa::router<int>& router, int value)
    {
        log.clear();
        const std::vector<int> input{value};
        router.distribute(input.begin());
        std::vector<std::string> names;
        for (const offer& o : log)
            names.push_back(o.name);
        return names;
    }

    std::vector<offer> log;
    int alive_before = 0;
};

using names = std::vector<std::string>;

TEST_F(router_test, empty_router_drops_values)
{
    vessa::router<int> router;
    EXPECT_EQ(offered_to(router, 7), names{});
}

TEST_F(router_test, default_alone_is_offered_every_value)
{
    vessa::router<int> router;
    router.set_default_destination(refuses("default"));
    const std::vector<int> input{4, 5, 6};
    for (auto it = input.begin(); it != input.end(); ++it)
        router.distribute(it);
    EXPECT_EQ(log, (std::vector<offer>{{"default", 4}, {"default", 5}, {"default", 6}}));
}

TEST_F(router_test, refused_value_reaches_default_after_every_listed_destination)
{
    vessa::router<int> router;
    router.add_destination(refuses("a"), 1);
    router.add_destination(refuses("b"), 1);
    router.set_default_destination(takes("default"));
    EXPECT_EQ(offered_to(router, 3), (names{"a", "b", "default"}));
}

TEST_F(router_test, first_taker_hides_value_from_the_rest_and_the_default)
{
    vessa::router<int> router;
    router.add_destination(refuses("a"), 1);
    router.add_destination(takes("b"), 1);
    router.add_destination(takes("c"), 1);
    router.set_default_destination(takes("default"));
    EXPECT_EQ(offered_to(router, 3), (names{"a", "b"}));
}

TEST_F(router_test, value_is_passed_by_reference_to_the_element_itself)
{
    vessa::router<int> router;
    router.add_destination(refuses("a"), 1);
    router.set_default_destination(takes("default"));
    const std::vector<int> input{1, 2};
    router.distribute(input.begin() + 1);
    EXPECT_EQ(recording_destination::last_address, &input[1]);
    router.distribute(input.data());
    EXPECT_EQ(recording_destination::last_address, &input[0]);
}

// The listed destinations form a binary heap in array order, not a sorted
// list: only the first is sure to have the highest priority.
TEST_F(router_test, offers_in_heap_array_order)
{
    vessa::router<int> ascending;
    ascending.add_destination(refuses("p1"), 1);
    ascending.add_destination(refuses("p2"), 2);
    ascending.add_destination(refuses("p3"), 3);
    EXPECT_EQ(offered_to(ascending, 0), (names{"p3", "p1", "p2"}));

    vessa::router<int> mixed;
    mixed.add_destination(refuses("a"), 1);
    mixed.add_destination(refuses("b"), 1);
    mixed.add_destination(refuses("c"), 2);
    EXPECT_EQ(offered_to(mixed, 0), (names{"c", "b", "a"}));

    vessa::router<int> five;
    for (const unsigned priority : {5, 1, 4, 3, 2})
        five.add_destination(refuses("p" + std::to_string(priority)), priority);
    EXPECT_EQ(offered_to(five, 0), (names{"p5", "p3", "p4", "p1", "p2"}));
}

TEST_F(router_test, equal_priorities_keep_insertion_order)
{
    vessa::router<int> router;
    for (const char* name : {"a", "b", "c", "d", "e"})
        router.add_destination(refuses(name), 7);
    EXPECT_EQ(offered_to(router, 0), (names{"a", "b", "c", "d", "e"}));
}

TEST_F(router_test, priorities_compare_as_unsigned)
{
    vessa::router<int> router;
    router.add_destination(refuses("low"), 0);
    router.add_destination(refuses("high"), 1u << 31);
    router.add_destination(refuses("highest"), UINT_MAX);
    EXPECT_EQ(offered_to(router, 0).front(), "highest");
}

TEST_F(router_test, default_priority_is_one)
{
    vessa::router<int> router;
    router.add_destination(refuses("zero"), 0);
    router.add_destination(refuses("implicit"));
    router.add_destination(refuses("one"), 1);
    EXPECT_EQ(offered_to(router, 0), (names{"implicit", "zero", "one"}));
}

TEST_F(router_test, keeps_its_own_copies_of_destinations)
{
    const int before = recording_destination::alive;
    {
        vessa::router<int> router;
        const recording_destination caller_object = takes("d");
        router.add_destination(caller_object, 1);
        router.set_default_destination(caller_object);
        EXPECT_EQ(recording_destination::alive, before + 3);
    }
    EXPECT_EQ(recording_destination::alive, before);
}

TEST_F(router_test, replacing_default_releases_the_previous_one)
{
    vessa::router<int> router;
    router.set_default_destination(takes("first"));
    const int with_one_default = recording_destination::alive;
    router.set_default_destination(takes("second"));
    EXPECT_EQ(recording_destination::alive, with_one_default);
    EXPECT_EQ(offered_to(router, 1), names{"second"});
}

TEST_F(router_test, many_destinations_survive_vector_growth_and_heap_moves)
{
    vessa::router<int> router;
    for (unsigned priority = 0; priority < 100; ++priority)
        router.add_destination(refuses("p" + std::to_string(priority)), priority % 7);
    router.set_default_destination(takes("default"));
    EXPECT_EQ(recording_destination::alive, alive_before + 101);
    const names offered = offered_to(router, 0);
    ASSERT_EQ(offered.size(), 101u);
    EXPECT_EQ(offered.back(), "default");
}

// Takes the multiples of its divisor, logging every value it is offered.
class takes_multiples : public recording_destination {
public:
    takes_multiples(const std::string& destination_name, int multiples_of, std::vector<offer>& offers)
        : recording_destination(destination_name, false, offers), divisor(multiples_of)
    {
    }
    bool distribute(const int& value) override
    {
        recording_destination::distribute(value);
        return value % divisor == 0;
    }

private:
    int divisor;
};

// The range call must offer every element to the very destinations, in
// the very order, that calling distribute(it) on each would.
TEST_F(router_test, range_routes_as_its_elements_one_by_one)
{
    const std::vector<int> input{0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 15};
    for (const bool with_default : {true, false}) {
        vessa::router<int> router;
        router.add_destination(takes_multiples("even", 2, log), 1);
        router.add_destination(refuses("never"), 1);
        router.add_destination(takes_multiples("three", 3, log), 2);
        router.add_destination(takes_multiples("five", 5, log), 3);
        if (with_default)
            router.set_default_destination(takes("default"));

        log.clear();
        for (auto it = input.begin(); it != input.end(); ++it)
            router.distribute(it);
        const std::vector<offer> one_by_one = log;

        log.clear();
        router.distribute(input.begin(), input.end());
        EXPECT_EQ(log, one_by_one) << (with_default ? "with" : "without") << " a default";
        EXPECT_EQ(recording_destination::last_address, &input.back());

        log.clear();
        router.distribute(input.begin(), input.begin());
        EXPECT_EQ(log, std::vector<offer>{});

        std::istringstream text("4 7");
        router.distribute(std::istream_iterator<int>(text), std::istream_iterator<int>());
        const std::vector<offer> from_stream = log;
        log.clear();
        const std::vector<int> same_values{4, 7};
        router.distribute(same_values.begin(), same_values.end());
        EXPECT_EQ(from_stream, log);
    }
}

TEST(router_type, is_not_copyable)
{
    EXPECT_FALSE(std::is_copy_constructible<vessa::router<int>>::value);
    EXPECT_FALSE(std::is_copy_assignable<vessa::router<int>>::value);
}

// Handles share one destination; the last one deletes it through the
// base pointer, running the derived destructor.
TEST_F(router_test, handle_copies_share_the_destination)
{
    const int before = recording_destination::alive;
    {
        const handle original(new recording_destination(takes("d")), 1);
        {
            const handle copy(original);
            EXPECT_EQ(recording_destination::alive, before + 1);
        }
        EXPECT_EQ(recording_destination::alive, before + 1);
    }
    EXPECT_EQ(recording_destination::alive, before);
}

TEST_F(router_test, handle_assignment_releases_the_old_destination)
{
    const int before = recording_destination::alive;
    handle kept(new recording_destination(takes("kept")), 1);
    handle replaced(new recording_destination(takes("replaced")), 2);
    EXPECT_EQ(recording_destination::alive, before + 2);
    replaced = kept;
    EXPECT_EQ(recording_destination::alive, before + 1);
    EXPECT_FALSE(replaced < kept);
    EXPECT_FALSE(kept < replaced);
}

TEST_F(router_test, handle_self_assignment_keeps_the_destination)
{
    const int before = recording_destination::alive;
    handle only(new recording_destination(takes("only")), 1);
    handle& same = only;
    only = same;
    EXPECT_EQ(recording_destination::alive, before + 1);

    handle sharer(only);
    only = sharer;
    sharer = only;
    EXPECT_EQ(recording_destination::alive, before + 1);
}

TEST(handle_order, compares_priorities_as_unsigned)
{
    const handle low(nullptr, 1);
    const handle high(nullptr, UINT_MAX);
    EXPECT_TRUE(low < high);
    EXPECT_FALSE(high < low);
    EXPECT_FALSE(low < low);
}

} // namespace

namespace {

// Counts how its copies come about: the router must keep exactly one,
// made by copy from an lvalue and by move from an rvalue.
struct copy_counter {
    static inline int copies = 0;
    static inline int moves = 0;
    copy_counter() = default;
    copy_counter(const copy_counter&) { ++copies; }
    copy_counter(copy_counter&&) noexcept { ++moves; }
};

bool below_ten(const int& value) { return value < 10; }

class move_only_destination : public vessa::destination<int> {
public:
    explicit move_only_destination(std::vector<int>& taken) : log(std::make_unique<std::vector<int>*>(&taken)) {}
    bool distribute(const int& value) override { return (*log)->push_back(value), true; }

private:
    std::unique_ptr<std::vector<int>*> log;
};

TEST(router_callables, any_callable_serves_as_a_destination_and_is_kept_once)
{
    std::vector<int> small, even, rest;
    vessa::router<int> router;
    router.add_destination(&below_ten, 3);
    router.add_destination([&even, counter = copy_counter(), mine = std::make_unique<int>(2)](
                               const int& v) { return v % *mine == 0 && (even.push_back(v), true); },
                           2);
    copy_counter::copies = copy_counter::moves = 0;
    const auto stateful
        = [&small, counter = copy_counter()](const int& v) { return v < 10 && (small.push_back(v), true); };
    router.add_destination(stateful, 4);
    EXPECT_EQ(copy_counter::copies, 1);
    EXPECT_EQ(copy_counter::moves, 0);
    router.set_default_destination(move_only_destination(rest));

    // One value, an iterator, a range: all route alike.
    router.distribute(3);
    router.distribute(12);
    const std::vector<int> values{13, 5};
    router.distribute(values.begin());
    router.distribute(values.begin() + 1, values.end());
    EXPECT_EQ(small, (std::vector<int>{3, 5}));
    EXPECT_EQ(even, std::vector<int>{12});
    EXPECT_EQ(rest, std::vector<int>{13});
}

// A router of iterators routes them as values, never as what they point at.
TEST(router_callables, an_argument_that_is_no_iterator_over_the_value_type_is_a_value)
{
    using iterator = std::vector<int>::const_iterator;
    const std::vector<int> values{1, 2};
    std::vector<iterator> seen;
    vessa::router<iterator> router;
    router.set_default_destination([&](const iterator& it) { return seen.push_back(it), true; });
    router.distribute(values.begin() + 1);
    EXPECT_EQ(seen, std::vector<iterator>{values.begin() + 1});
}

using report_function = std::function<void(std::exception_ptr, vessa::destination_id)>;

// Counts the live copies of the callable a handler holds.
struct counted_report {
    static int alive;
    int* calls;
    explicit counted_report(int* counter) : calls(counter) { ++alive; }
    counted_report(const counted_report& other) : calls(other.calls) { ++alive; }
    ~counted_report() { --alive; }
    void operator()(std::exception_ptr, vessa::destination_id) const { ++*calls; }
};
int counted_report::alive = 0;

vessa::destination_id last_thrower;
void note_thrower(std::exception_ptr, vessa::destination_id thrower) { last_thrower = thrower; }

// A handler holds what a std::function would: any callable, a copy of it
// per copy of the handler, and nothing when made from an empty one.
TEST(exception_handler, holds_a_callable_as_a_std_function_would)
{
    EXPECT_FALSE(vessa::exception_handler());
    EXPECT_FALSE(vessa::exception_handler(report_function()));
    EXPECT_FALSE(vessa::exception_handler(static_cast<void (*)(std::exception_ptr, vessa::destination_id)>(nullptr)));

    int calls = 0;
    {
        const vessa::exception_handler first(counted_report{&calls});
        vessa::exception_handler second(first);
        vessa::exception_handler third(std::move(second));
        EXPECT_FALSE(second);
        second = third;
        third = report_function(counted_report{&calls});
        EXPECT_EQ(counted_report::alive, 3);
        first(nullptr, {});
        second(nullptr, {});
        third(nullptr, {});
        EXPECT_EQ(calls, 3);
    }
    EXPECT_EQ(counted_report::alive, 0);

    int last_count = 0;
    const vessa::exception_handler counting
        = [&last_count, count = 0](std::exception_ptr, vessa::destination_id) mutable { last_count = ++count; };
    counting(nullptr, {});
    const vessa::exception_handler copy = counting;
    copy(nullptr, {});
    counting(nullptr, {});
    EXPECT_EQ(last_count, 2) << "each copy of a handler has its own copy of the callable";

    const auto thrower = [](const int&) -> bool { throw std::runtime_error("refused"); };
    vessa::router<int> propagating(report_function{});
    propagating.add_destination(thrower);
    EXPECT_THROW(propagating.distribute(1), std::runtime_error);
    vessa::router<int> reporting(&note_thrower);
    const vessa::destination_id listed = reporting.add_destination(thrower);
    EXPECT_EQ(reporting.distribute(1).threw, 1u);
    EXPECT_EQ(last_thrower, listed);
}

// The order after adding, and after each removal, is the one adding the
// rest again, in the order they were first added, gives.
TEST_F(router_test, order_after_adding_and_removal_is_the_heap_of_the_rest)
{
    using entry = std::pair<std::string, unsigned>;
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        vessa::router<int> router;
        std::vector<entry> model;
        std::vector<vessa::destination_id> ids;
        for (int i = 0; i < 12; ++i) {
            const std::string name = "d" + std::to_string(i);
            const unsigned priority = random() % 4;
            ids.push_back(router.add_destination(refuses(name), priority));
            model.emplace_back(name, priority);
        }
        for (int removal = 0;; ++removal) {
            names expected;
            for (const entry& e : heap_order(model, [](const entry& listed) { return listed.second; }))
                expected.push_back(e.first);
            ASSERT_EQ(offered_to(router, 0), expected) << "round " << round << ", removal " << removal;
            if (removal == 6)
                break;
            const std::size_t index = random() % ids.size();
            EXPECT_TRUE(router.remove_destination(ids[index]));
            EXPECT_FALSE(router.remove_destination(ids[index])) << "removed twice";
            ids.erase(ids.begin() + static_cast<std::ptrdiff_t>(index));
            model.erase(model.begin() + static_cast<std::ptrdiff_t>(index));
        }
    }
    vessa::router<int> other;
    EXPECT_FALSE(other.remove_destination(vessa::router<int>().add_destination(refuses("elsewhere"))));
    EXPECT_FALSE(other.remove_destination(vessa::destination_id()));
    // Routers of value types used nowhere else: the first id of each is the
    // first of its type, so a counter per type would give both the same.
    vessa::router<short> shorts;
    vessa::router<signed char> chars;
    const vessa::destination_id of_shorts = shorts.add_destination([](const short&) { return false; });
    chars.add_destination([](const signed char&) { return false; });
    EXPECT_FALSE(chars.remove_destination(of_shorts)) << "an id removed another router's destination";
}

} // namespace
