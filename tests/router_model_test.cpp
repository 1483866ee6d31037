// The router's interface against a small model of its rules: a seeded
// random driver adds (callables and member functions, on plain, shared and
// weak pointers), removes, blocks, reprioritizes, ends tracked objects,
// sets and removes the default, clears and routes, in both listing orders
// and under both exception policies; some destinations remove themselves
// as they take a value. Every offer, every result, every
// report and every answer to a question must be the model's.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include <vessa/router.hpp>

#include "router_types.hpp"

namespace {

// What each destination was offered, by name, in order.
using offer_log = std::map<int, std::vector<int>>;

// A destination's behaviour: a pure function of its name and the value.
struct probe {
    int name;
    offer_log* log;
    // Called with the name by those that remove themselves as they take.
    const std::function<void(int)>* leave = nullptr;

    static bool takes(int name, int value) { return (value + name) % (name % 4 + 2) == 0; }
    // Names 3, 8, 13, ... throw on values ending in 9.
    static bool throws(int name, int value) { return name % 5 == 3 && value % 10 == 9; }
    static bool leaves(int name) { return name % 7 == 6; }

    bool operator()(const int& value) const
    {
        (*log)[name].push_back(value);
        if (throws(name, value))
            throw std::runtime_error("refused loudly");
        if (!takes(name, value))
            return false;
        if (leave && leaves(name))
            (*leave)(name);
        return true;
    }
};

struct listener {
    probe heard;
    bool on(const int& value) { return heard(value); }
    int on_const(const int& value) const { return heard(value) ? 1 : 0; }
};

// The rules, written from the description of the router, not its code.
class model {
public:
    struct entry {
        int name;
        unsigned priority;
        vessa::destination_id id;
        std::size_t added;
        unsigned blocks;
        // Null for an untracked destination.
        std::shared_ptr<listener>* object;

        bool gone() const { return object && !*object; }
    };

    model(vessa::listing listing_order, bool reporting) : order(listing_order), reports(reporting) {}

    // Every change begins by unlisting what has gone.
    void change()
    {
        const auto gone = [](const entry& e) { return e.gone(); };
        if (std::any_of(list.begin(), list.end(), gone)) {
            list.erase(std::remove_if(list.begin(), list.end(), gone), list.end());
            rebuild();
        }
    }
    void add(const entry& added)
    {
        change();
        insert(added);
    }
    bool remove(vessa::destination_id id)
    {
        change();
        entry* const found = find(id);
        if (!found)
            return false;
        list.erase(list.begin() + (found - list.data()));
        rebuild();
        return true;
    }
    bool set_priority(vessa::destination_id id, unsigned priority)
    {
        change();
        entry* const found = find(id);
        if (found) {
            found->priority = priority;
            rebuild();
        }
        return found != nullptr;
    }
    bool block(vessa::destination_id id, int by)
    {
        change();
        entry* const found = find(id);
        if (found && (by > 0 || found->blocks > 0))
            found->blocks += by;
        return found != nullptr;
    }
    entry* find(vessa::destination_id id)
    {
        const auto at = std::find_if(list.begin(), list.end(), [id](const entry& e) { return e.id == id; });
        return at == list.end() ? nullptr : &*at;
    }

    // What distribute(value) does; thrown says whether it throws.
    vessa::distribution
    route(int value, offer_log& log, std::vector<vessa::destination_id>& reported, bool& thrown, bool may_leave = true)
    {
        vessa::distribution result;
        thrown = false;
        for (const entry& e : list) {
            if (e.blocks > 0 || e.gone())
                continue;
            log[e.name].push_back(value);
            if (probe::throws(e.name, value)) {
                if (!reports) {
                    thrown = true;
                    return result;
                }
                ++result.threw;
                reported.push_back(e.id);
            } else if (probe::takes(e.name, value)) {
                result.result = vessa::outcome::taken;
                result.taker = e.id;
                if (may_leave && probe::leaves(e.name))
                    remove(e.id);
                return result;
            }
        }
        if (default_name) {
            result.result = vessa::outcome::defaulted;
            log[*default_name].push_back(value);
            if (probe::throws(*default_name, value)) {
                thrown = !reports;
                if (reports) {
                    ++result.threw;
                    reported.push_back(vessa::destination_id());
                }
            }
        }
        return result;
    }

    vessa::listing order;
    bool reports;
    std::vector<entry> list;
    std::optional<int> default_name;

private:
    // Adding each again, in the order first added, with its present
    // priority.
    void rebuild()
    {
        std::vector<entry> again(list);
        std::sort(again.begin(), again.end(), [](const entry& a, const entry& b) { return a.added < b.added; });
        list.clear();
        for (const entry& e : again)
            insert(e);
    }
    // Heap: appended, and moved up while its parent's priority is lower.
    // Sorted: after every entry of its priority or higher.
    void insert(const entry& added)
    {
        if (order == vessa::listing::sorted) {
            auto at = list.begin();
            while (at != list.end() && at->priority >= added.priority)
                ++at;
            list.insert(at, added);
            return;
        }
        list.push_back(added);
        for (std::size_t i = list.size() - 1; i > 0 && list[(i - 1) / 2].priority < list[i].priority;) {
            std::swap(list[i], list[(i - 1) / 2]);
            i = (i - 1) / 2;
        }
    }
};

template <typename Router>
class router_model_test : public testing::Test {
};
TYPED_TEST_SUITE(router_model_test, both_routers, router_name);

template <typename Router>
void run_script(std::uint32_t seed, vessa::listing order, bool reporting)
{
    SCOPED_TRACE(testing::Message() << "seed " << seed << (order == vessa::listing::sorted ? " sorted" : " heap")
                                    << (reporting ? " reporting" : " propagating"));
    std::mt19937 random(seed);
    const auto draw = [&random](int below) { return static_cast<int>(random() % static_cast<unsigned>(below)); };

    offer_log seen;
    offer_log expected;
    std::vector<vessa::destination_id> reported;
    std::vector<vessa::destination_id> expected_reports;
    vessa::exception_handler handler;
    if (reporting) {
        handler = [&reported](std::exception_ptr thrown, vessa::destination_id id) {
            EXPECT_THROW(std::rethrow_exception(thrown), std::runtime_error);
            reported.push_back(id);
        };
    }
    Router router(order, handler);
    model rules(order, reporting);
    std::vector<vessa::destination_id> ids;
    std::map<int, vessa::destination_id> id_of_name;
    // A removal that reorders the heap in the middle of a batch's chunk
    // leaves the rest of the chunk in the order it began with, unlike a
    // range: no destination leaves during a batch.
    bool batching = false;
    const std::function<void(int)> leave = [&](int name) {
        if (!batching)
            router.remove_destination(id_of_name[name]);
    };
    // Room for every object, so that the model's pointers stay put.
    std::vector<std::shared_ptr<listener>> objects(400);
    std::vector<listener> plain_objects(400);
    int next_name = 0;

    const auto route_one = [&](int value) {
        bool expect_throw = false;
        const vessa::distribution want = rules.route(value, expected, expected_reports, expect_throw);
        if (expect_throw) {
            EXPECT_THROW(router.distribute(value), std::runtime_error);
            return;
        }
        const vessa::distribution got = router.distribute(value);
        EXPECT_EQ(got.result, want.result);
        EXPECT_EQ(got.taker, want.taker);
        EXPECT_EQ(got.threw, want.threw);
    };

    for (int step = 0; step < 400; ++step) {
        const int what = draw(20);
        const unsigned priority = static_cast<unsigned>(draw(4));
        if (what < 5) {
            const int name = next_name++;
            model::entry added{name, priority, {}, static_cast<std::size_t>(name), 0, nullptr};
            const int kind = draw(4);
            if (kind == 0) {
                added.id = router.add_destination(probe{name, &seen, &leave}, priority);
            } else if (kind == 1) {
                plain_objects[name] = listener{{name, &seen, &leave}};
                added.id = router.add_destination(&listener::on, &plain_objects[name], priority);
            } else {
                objects[name] = std::make_shared<listener>(listener{{name, &seen, &leave}});
                added.object = &objects[name];
                added.id = kind == 2 ? router.add_destination(&listener::on_const, objects[name], priority)
                                     : router.add_destination(&listener::on, std::weak_ptr<listener>(objects[name]),
                                                              priority);
            }
            rules.add(added);
            ids.push_back(added.id);
            id_of_name[name] = added.id;
        } else if (what < 7 && !ids.empty()) {
            const vessa::destination_id id = ids[draw(static_cast<int>(ids.size()))];
            EXPECT_EQ(router.remove_destination(id), rules.remove(id));
        } else if (what == 7 && !ids.empty()) {
            const vessa::destination_id id = ids[draw(static_cast<int>(ids.size()))];
            EXPECT_EQ(router.set_priority(id, priority), rules.set_priority(id, priority));
        } else if (what == 8 && !ids.empty()) {
            const vessa::destination_id id = ids[draw(static_cast<int>(ids.size()))];
            const bool blocking = draw(2) == 0;
            EXPECT_EQ(blocking ? router.block(id) : router.unblock(id), rules.block(id, blocking ? 1 : -1));
        } else if (what == 9 && next_name > 0) {
            objects[draw(next_name)].reset();
        } else if (what == 10) {
            const int name = next_name++;
            router.set_default_destination(probe{name, &seen});
            rules.change();
            rules.default_name = name;
        } else if (what == 11 && draw(4) == 0) {
            EXPECT_EQ(router.remove_default_destination(), rules.default_name.has_value());
            rules.change();
            rules.default_name.reset();
        } else if (what == 12 && draw(8) == 0) {
            router.clear();
            rules.list.clear();
            rules.default_name.reset();
        } else if (what < 16) {
            route_one(draw(100));
        } else {
            // A range, or a batch; a propagated exception would leave a
            // batch with its chunk offered in another interleaving, so a
            // propagating batch gets no value that a destination throws on.
            std::vector<int> values(static_cast<std::size_t>(draw(6)));
            const bool batch = draw(2) == 0;
            for (int& v : values)
                v = draw(100) / (batch && !reporting ? 10 : 1) * (batch && !reporting ? 10 : 1);
            vessa::distribution_counts want;
            bool expect_throw = false;
            for (const int v : values) {
                const vessa::distribution one = rules.route(v, expected, expected_reports, expect_throw, !batch);
                if (expect_throw)
                    break;
                want.taken += one.result == vessa::outcome::taken;
                want.defaulted += one.result == vessa::outcome::defaulted;
                want.dropped += one.result == vessa::outcome::dropped;
                want.threw += one.threw;
            }
            if (expect_throw) {
                EXPECT_THROW(router.distribute(values.begin(), values.end()), std::runtime_error);
            } else {
                batching = batch;
                const vessa::distribution_counts got
                    = batch ? router.distribute_batch(values) : router.distribute(values.begin(), values.end());
                batching = false;
                EXPECT_EQ(got.taken, want.taken);
                EXPECT_EQ(got.defaulted, want.defaulted);
                EXPECT_EQ(got.dropped, want.dropped);
                EXPECT_EQ(got.threw, want.threw);
            }
        }

        ASSERT_EQ(seen, expected) << "after step " << step;
        ASSERT_EQ(reported, expected_reports) << "after step " << step;
        ASSERT_EQ(router.size(), rules.list.size()) << "after step " << step;
        EXPECT_EQ(router.empty(), rules.list.empty());
        EXPECT_EQ(router.has_default(), rules.default_name.has_value());
        for (const vessa::destination_id id : ids) {
            model::entry* const e = rules.find(id);
            EXPECT_EQ(router.contains(id), e != nullptr);
            EXPECT_EQ(router.priority(id), e ? std::optional<unsigned>(e->priority) : std::nullopt);
            EXPECT_EQ(router.blocked(id), e && e->blocks > 0);
        }
    }
}

TYPED_TEST(router_model_test, routes_answers_and_reports_as_the_model)
{
    for (const vessa::listing order : {vessa::listing::heap, vessa::listing::sorted}) {
        for (const bool reporting : {false, true}) {
            for (std::uint32_t seed = 1; seed <= 12; ++seed)
                run_script<TypeParam>(seed, order, reporting);
        }
    }
}

} // namespace
