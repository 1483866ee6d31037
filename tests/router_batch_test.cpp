// distribute_batch against distribute(first, last): every destination must
// be offered the very elements, by address and in order, by both.
#include <cstdint>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include <vessa/concurrent_router.hpp>
#include <vessa/router.hpp>

#include "router_types.hpp"

namespace {

using offers = std::map<int, std::vector<const int*>>; // by destination

// Takes a value depending on the value and on how many it was offered
// before, so that a destination offered one value too many or too few
// answers differently from then on. A modulus of 1 takes every value or
// none; a large one, with takes_remainder_zero false, thins a chunk to a
// few values.
struct decision {
    int name;
    int modulus;
    bool takes_remainder_zero;
    int seen = 0;
    bool operator()(const int& value) { return ((value + seen++) % modulus == 0) == takes_remainder_zero; }
};

// A destination class, with or without a batch form of its own.
template <bool with_batch_form>
class logging_class
    : public std::conditional_t<with_batch_form, vessa::batch_destination<logging_class<with_batch_form>, int>,
                                vessa::destination<int>> {
public:
    logging_class(decision d, offers& o) : decide(d), log(&o) {}
    bool distribute(const int& value) override { return (*log)[decide.name].push_back(&value), decide(value); }

private:
    decision decide;
    offers* log;
};
using plain_class = logging_class<false>;
using batch_class = logging_class<true>;

// Builds the same router from the same seed, whatever it routes with.
// Where lambdas and take_ifs may remove themselves, all priorities are
// equal: a removal reorders unequal ones, which a batch sees only from the
// next chunk. A take_if removes itself as it takes a value, and the values
// of its chunk chosen after that one go on to the next.
template <typename Router>
void build(Router& router, offers& log, std::uint32_t seed)
{
    std::mt19937 random(seed);
    const int listed = static_cast<int>(random() % 6);
    const bool removals = random() % 3 == 0;
    for (int name = 0; name <= listed; ++name) {
        const int modulus = 1 + static_cast<int>(random() % 2 ? random() % 10 : random() % 600);
        decision d{name, modulus, random() % 2 == 0};
        const unsigned priority = removals ? 1 : random() % 3;
        const bool is_default = name == listed;
        const auto id = std::make_shared<vessa::destination_id>();
        const int removed_at = removals ? 1 + static_cast<int>(random() % 1500) : 0;
        switch (random() % 4) {
        case 0: {
            const auto logged = [d, &log, &router, id, removed_at](const int& value) mutable {
                log[d.name].push_back(&value);
                if (d.seen + 1 == removed_at)
                    router.remove_destination(*id);
                return d(value);
            };
            is_default ? router.set_default_destination(logged) : void(*id = router.add_destination(logged, priority));
            break;
        }
        case 1:
            is_default ? router.set_default_destination(plain_class(d, log))
                       : void(router.add_destination(plain_class(d, log), priority));
            break;
        case 2:
            is_default ? router.set_default_destination(batch_class(d, log))
                       : void(router.add_destination(batch_class(d, log), priority));
            break;
        default: {
            const auto taker
                = vessa::take_if([d](const int& value) { return (value % d.modulus == 1) == d.takes_remainder_zero; },
                                 [name, &log, &router, id, removed_at, taken = 0](const int& value) mutable {
                                     log[name].push_back(&value);
                                     if (++taken == removed_at)
                                         router.remove_destination(*id);
                                 });
            is_default ? router.set_default_destination(taker) : void(*id = router.add_destination(taker, priority));
        }
        }
    }
    if (random() % 4 == 0)
        router.set_default_destination([](const int&) { return true; }); // no default logged: replaced
}

template <typename Router>
class distribute_batch : public testing::Test {
};
TYPED_TEST_SUITE(distribute_batch, both_routers, router_name);

TYPED_TEST(distribute_batch, offers_each_destination_what_the_range_call_would)
{
    constexpr std::size_t chunk = vessa::batch<int>::capacity;
    for (std::uint32_t seed = 1; seed <= 200; ++seed) {
        std::mt19937 lengths(seed);
        for (int run = 0; run < 8; ++run) {
            // Anywhere in three chunks, or at a chunk's bounds.
            const std::size_t anywhere = lengths() % (3 * chunk);
            const std::size_t length = lengths() % 2 ? anywhere : anywhere / chunk * chunk + anywhere % 3;
            std::mt19937 random(seed * 31 + static_cast<std::uint32_t>(length));
            std::vector<int> values(length);
            for (int& v : values)
                v = static_cast<int>(random() % 1000);

            offers one_by_one, batched;
            TypeParam by_value, by_batch;
            build(by_value, one_by_one, seed);
            build(by_batch, batched, seed);
            by_value.distribute(values.begin(), values.end());
            by_batch.distribute_batch(values);
            ASSERT_EQ(batched, one_by_one) << "seed " << seed << ", " << length << " values";
        }
    }
}

// Removal takes effect at once, even within the destination's own batch;
// additions take effect from the next chunk.
TYPED_TEST(distribute_batch, removal_is_at_once_and_additions_wait_for_the_next_chunk)
{
    const std::vector<int> values(vessa::batch<int>::capacity + 10, 1);
    TypeParam router;
    int offered_to_self_removing = 0;
    int offered_to_added = 0;
    vessa::destination_id self;
    self = router.add_destination([&](const int&) {
        if (++offered_to_self_removing == 3) {
            router.remove_destination(self);
            router.add_destination([&](const int&) { return ++offered_to_added, false; });
        }
        return false;
    });
    router.distribute_batch(values);
    EXPECT_EQ(offered_to_self_removing, 3);
    EXPECT_EQ(offered_to_added, 10);
}

enum class pass { offer_each, take_chosen };

// Goes over its chunk twice and removes itself at its third offer.
template <typename Router>
class two_pass_remover : public vessa::destination<int> {
public:
    struct shared {
        Router& router;
        vessa::destination_id id;
        int offers = 0;
        int offers_after_removal = 0;
    };
    two_pass_remover(shared& s, pass first_pass, pass second_pass) : state(&s), passes{first_pass, second_pass} {}

    bool distribute(const int& value) override { return offer(value); }
    void distribute_batch(vessa::batch<int>& chunk) override
    {
        const auto offered = [this](const int& value) { return offer(value); };
        for (const pass p : passes) {
            if (p == pass::offer_each)
                chunk.offer_each(offered);
            else
                chunk.take_chosen([](const int& value) { return value % 2 == 1; }, offered);
        }
    }

private:
    bool offer(const int&)
    {
        if (state->offers++ == 2)
            state->router.remove_destination(state->id);
        else if (state->offers > 3)
            ++state->offers_after_removal;
        return false;
    }

    shared* state;
    pass passes[2];
};

TYPED_TEST(distribute_batch, removal_in_a_first_pass_stops_the_second)
{
    std::vector<int> values(vessa::batch<int>::capacity + 10);
    std::iota(values.begin(), values.end(), 0);
    for (const pass first : {pass::offer_each, pass::take_chosen}) {
        for (const pass second : {pass::offer_each, pass::take_chosen}) {
            TypeParam router;
            typename two_pass_remover<TypeParam>::shared state{router, {}};
            state.id = router.add_destination(two_pass_remover<TypeParam>(state, first, second));
            router.distribute_batch(values);
            EXPECT_EQ(state.offers_after_removal, 0)
                << "passes " << static_cast<int>(first) << ", " << static_cast<int>(second);
        }
    }
}

} // namespace
