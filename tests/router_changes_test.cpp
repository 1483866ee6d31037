// Destinations that change the router while it routes: a seeded random
// driver runs the same script against the router and against a small
// model of the rules, and compares every offer. Each destination, when
// offered a value, may add or remove destinations (itself included),
// replace the default, route a value through the router again, or throw.
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <vessa/concurrent_router.hpp>
#include <vessa/router.hpp>

#include "router_types.hpp"

namespace {

// What destination `name` does when offered `value`: a pure function of
// both and the seed, so that the router and the model act alike.
struct script {
    enum kind { nothing, add, remove, replace_default, route_again, raise };
    kind what;
    int param;
    bool takes;
};

std::uint32_t mix(std::uint32_t seed, int name, int value)
{
    std::uint32_t h = seed ^ (static_cast<std::uint32_t>(name) * 0x9E3779B1u) ^ static_cast<std::uint32_t>(value);
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    return h ^ (h >> 15);
}

script script_for(std::uint32_t seed, int name, int value)
{
    const std::uint32_t h = mix(seed, name, value);
    const bool takes = (h & 7) == 0;
    const int param = static_cast<int>(h >> 16);
    switch ((h >> 3) % 16) {
    case 0:
    case 1:
        return {script::add, param, takes};
    case 2:
    case 3:
        return {script::remove, param, takes};
    case 4:
        return {script::replace_default, param, takes};
    case 5:
        return {script::route_again, param, takes};
    case 6:
        return {script::raise, param, takes};
    default:
        return {script::nothing, param, takes};
    }
}

struct failure : std::runtime_error {
    failure() : std::runtime_error("thrown by a destination") {}
};

using offer_log = std::vector<std::pair<int, int>>; // (destination, value)

// The shared half of both worlds: interprets a script. World supplies
// add(name, priority), remove(name), set_default(name), route(value).
template <typename World>
bool act(World& world, int name, int value)
{
    world.log.emplace_back(name, value);
    const script s = script_for(world.seed, name, value);
    switch (s.what) {
    case script::add:
        world.add(world.created++, static_cast<unsigned>(s.param % 3));
        break;
    case script::remove:
        world.remove(s.param % 2 == 0 ? name : s.param % world.created);
        break;
    case script::replace_default:
        world.set_default(world.created++);
        break;
    case script::route_again:
        if (world.depth < 3) {
            ++world.depth;
            struct leave {
                int& depth;
                ~leave() { --depth; }
            } on_exit{world.depth};
            world.route(value + 1000);
        }
        break;
    case script::raise:
        throw failure();
    case script::nothing:
        break;
    }
    // A destination must outlive its own call, whatever the call changed.
    if (!world.alive(name))
        world.log.emplace_back(-2, name);
    return s.takes;
}

// Copies of the destinations alive, in all and by name.
int alive_copies = 0;
std::map<int, int> copies_of;

struct counted {
    explicit counted(int destination_name) : name(destination_name) { ++alive_copies, ++copies_of[name]; }
    counted(const counted& other) : name(other.name) { ++alive_copies, ++copies_of[name]; }
    ~counted() { --alive_copies, --copies_of[name]; }
    int name;
};

// A destination class, for the names that are not lambdas.
template <typename World>
class scripted : public vessa::destination<int> {
public:
    scripted(World& w, int destination_name) : count(destination_name), world(&w), name(destination_name) {}
    bool distribute(const int& value) override { return act(*world, name, value); }

private:
    counted count;
    World* world;
    int name;
};

template <typename Router>
struct real_world {
    explicit real_world(std::uint32_t script_seed) : seed(script_seed) {}

    std::uint32_t seed;
    int created = 0;
    int depth = 0;
    offer_log log;
    Router router;
    std::vector<vessa::destination_id> ids; // by name; defaults get none

    // Names alternate between a class, a lambda and a move-only lambda.
    template <typename Use>
    void make(int name, Use use)
    {
        switch (name % 3) {
        case 0:
            use(scripted<real_world>(*this, name));
            break;
        case 1:
            use([this, name, c = counted(name)](const int& v) { return act(*this, name, v); });
            break;
        default:
            use([this, name, c = std::make_unique<counted>(name)](const int& v) { return act(*this, name, v); });
            break;
        }
    }
    void add(int name, unsigned priority)
    {
        ids.resize(static_cast<std::size_t>(created));
        make(name,
             [&](auto&& d) { ids[static_cast<std::size_t>(name)] = router.add_destination(std::move(d), priority); });
    }
    void remove(int name)
    {
        removed_answers.push_back(router.remove_destination(ids.at(static_cast<std::size_t>(name))));
    }
    void set_default(int name)
    {
        ids.resize(static_cast<std::size_t>(created));
        make(name, [&](auto&& d) { router.set_default_destination(std::move(d)); });
    }
    void route(int value) { router.distribute(value); }
    bool alive(int name) const { return copies_of[name] > 0; }

    std::vector<bool> removed_answers;
};

struct model_world {
    struct entry {
        int name;
        unsigned priority;
    };
    explicit model_world(std::uint32_t script_seed) : seed(script_seed) {}

    std::uint32_t seed;
    int created = 0;
    int depth = 0;
    offer_log log;
    std::vector<entry> listed; // in the order they were added
    int default_name = -1;
    std::vector<bool> removed_answers;

    void add(int name, unsigned priority) { listed.push_back({name, priority}); }
    void remove(int name)
    {
        const auto found = std::find_if(listed.begin(), listed.end(), [&](const entry& e) { return e.name == name; });
        removed_answers.push_back(found != listed.end());
        if (found != listed.end())
            listed.erase(found);
    }
    void set_default(int name) { default_name = name; }
    bool alive(int) const { return true; }
    bool is_listed(int name) const
    {
        return std::any_of(listed.begin(), listed.end(), [&](const entry& e) { return e.name == name; });
    }
    void route(int value)
    {
        std::vector<entry> order;
        for (const entry& e : listed) {
            order.push_back(e);
            std::push_heap(order.begin(), order.end(),
                           [](const entry& a, const entry& b) { return a.priority < b.priority; });
        }
        for (const entry& e : order) {
            if (is_listed(e.name) && act(*this, e.name, value))
                return;
        }
        if (default_name >= 0)
            act(*this, default_name, value);
    }
};

// One step of the driver, from outside any destination.
template <typename World>
void step(World& world, std::mt19937& random)
{
    const unsigned op = random() % 8;
    const int value = static_cast<int>(random() % 50);
    try {
        if (op == 0) {
            world.add(world.created++, random() % 3);
        } else if (op == 1) {
            world.remove(static_cast<int>(random() % static_cast<unsigned>(world.created)));
        } else if (op == 2) {
            world.set_default(world.created++);
        } else {
            world.route(value);
        }
    } catch (const failure&) {
        world.log.emplace_back(-1, -1);
    }
}

// Nothing is under way: what a router no longer lists can go.
void settle(vessa::router<int>&) {}
void settle(vessa::concurrent_router<int>& router) { router.synchronize(); }

template <typename Router>
class changes_while_routing : public testing::Test {
};
TYPED_TEST_SUITE(changes_while_routing, both_routers, router_name);

TYPED_TEST(changes_while_routing, follow_the_rules_of_a_model)
{
    for (std::uint32_t seed = 1; seed <= 300; ++seed) {
        real_world<TypeParam> real(seed);
        model_world model(seed);
        std::mt19937 random_real(seed);
        std::mt19937 random_model(seed);
        for (int i = 0; i < 3; ++i) {
            real.add(real.created++, 1);
            model.add(model.created++, 1);
        }
        for (int i = 0; i < 60; ++i) {
            step(real, random_real);
            step(model, random_model);
            ASSERT_EQ(real.log, model.log) << "seed " << seed << ", step " << i;
            ASSERT_EQ(real.removed_answers, model.removed_answers) << "seed " << seed << ", step " << i;
            // Every removed or replaced copy is gone.
            settle(real.router);
            ASSERT_EQ(alive_copies, static_cast<int>(model.listed.size()) + (model.default_name >= 0 ? 1 : 0))
                << "seed " << seed << ", step " << i;
        }
    }
    EXPECT_EQ(alive_copies, 0);
}

// The range call routes its elements by the same rules, one by one.
TYPED_TEST(changes_while_routing, range_routes_by_the_same_rules)
{
    for (std::uint32_t seed = 1; seed <= 100; ++seed) {
        real_world<TypeParam> real(seed);
        model_world model(seed);
        for (int i = 0; i < 4; ++i) {
            real.add(real.created++, static_cast<unsigned>(i % 2));
            model.add(model.created++, static_cast<unsigned>(i % 2));
        }
        const std::vector<int> values{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        try {
            real.router.distribute(values.begin(), values.end());
        } catch (const failure&) {
            real.log.emplace_back(-1, -1);
        }
        try {
            for (const int v : values)
                model.route(v);
        } catch (const failure&) {
            model.log.emplace_back(-1, -1);
        }
        ASSERT_EQ(real.log, model.log) << "seed " << seed;
    }
    EXPECT_EQ(alive_copies, 0);
}

} // namespace
