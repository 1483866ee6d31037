// Destinations that change the router while it routes: a seeded random
// driver runs the same script against the router and against a small
// model of the rules, and compares every offer. Each destination, when
// offered a value, may add or remove destinations (itself included),
// replace the default, block or unblock one, end the object a tracked one
// serves, add a scoped one or end a scope, route a value through the
// router again, or throw. The driver makes the same changes from outside,
// and routes a value or a few through distribute_batch.
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <vessa/concurrent_router.hpp>
#include <vessa/router.hpp>

#include "heap_order.hpp"
#include "router_types.hpp"

namespace {

// What destination `name` does when offered `value`: a pure function of
// both and the seed, so that the router and the model act alike.
struct script {
    enum kind {
        nothing,
        add,
        remove,
        replace_default,
        block,
        unblock,
        expire,
        scope,
        unscope,
        release,
        route_again,
        raise
    };
    kind what;
    int param;
    bool takes;
};

// Slots of scoped destinations in each world.
constexpr int scope_slots = 4;

// Every other three names serve an object: a class, a lambda and a
// move-only lambda, tracked, then three untracked.
bool is_tracked(int name) { return name / 3 % 2 == 1; }

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
    const unsigned what = (h >> 3) % 24;
    // Half of them do nothing, so that a value is seldom routed again.
    return {what < 12 ? static_cast<script::kind>(what) : script::nothing, param, takes};
}

struct failure : std::runtime_error {
    failure() : std::runtime_error("thrown by a destination") {}
};

using offer_log = std::vector<std::pair<int, int>>; // (destination, value)

// The shared half of both worlds: makes a change, from a destination
// named self or from outside (self < 0). World supplies add(name,
// priority), remove(name), set_default(name), block(name), unblock(name),
// expire(name), scope(slot, name, priority), unscope(slot), release(slot).
template <typename World>
void change(World& world, script::kind what, int param, int self)
{
    const int named = self >= 0 && param % 2 == 0 ? self : param % world.created;
    const auto priority = static_cast<unsigned>(param % 3);
    switch (what) {
    case script::add:
        return world.add(world.created++, priority);
    case script::remove:
        return world.remove(named);
    case script::replace_default:
        return world.set_default(world.created++);
    case script::block:
        return world.block(named);
    case script::unblock:
        return world.unblock(named);
    case script::expire:
        return world.expire(named);
    case script::scope:
        return world.scope(param % scope_slots, world.created++, priority);
    case script::unscope:
        return world.unscope(param % scope_slots);
    case script::release:
        return world.release(param % scope_slots);
    default:
        return;
    }
}

// A destination offered a value: logs the offer and acts by its script.
template <typename World>
bool act(World& world, int name, int value)
{
    world.log.emplace_back(name, value);
    const script s = script_for(world.seed, name, value);
    switch (s.what) {
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
    default:
        change(world, s.what, s.param, name);
        break;
    }
    // A destination, and a tracked one's object, must outlive its own
    // call, whatever the call changed.
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
    // Before the router, so that they outlive it.
    std::vector<vessa::scoped_destination> scopes = std::vector<vessa::scoped_destination>(scope_slots);
    Router router;
    std::vector<vessa::destination_id> ids; // by name; defaults get none
    // The objects tracked destinations serve, owned and observed by name.
    std::map<int, std::shared_ptr<int>> objects;
    std::map<int, std::weak_ptr<int>> observed;

    // Names alternate between a class, a lambda and a move-only lambda.
    template <typename Use>
    void make(int name, Use use)
    {
        if (!is_tracked(name))
            return make_untracked(name, use);
        const std::shared_ptr<int> object = objects[name] = std::make_shared<int>(name);
        observed[name] = object;
        make_untracked(name, [&](auto&& d) { use(vessa::tracking(std::weak_ptr<int>(object), std::move(d))); });
    }
    template <typename Use>
    void make_untracked(int name, Use use)
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
    vessa::destination_id& id_of(int name)
    {
        ids.resize(static_cast<std::size_t>(created));
        return ids[static_cast<std::size_t>(name)];
    }
    void add(int name, unsigned priority)
    {
        make(name, [&](auto&& d) { id_of(name) = router.add_destination(std::move(d), priority); });
    }
    void remove(int name) { answers.push_back(router.remove_destination(id_of(name))); }
    void set_default(int name)
    {
        make(name, [&](auto&& d) { router.set_default_destination(std::move(d)); });
    }
    void block(int name) { answers.push_back(router.block(id_of(name))); }
    void unblock(int name) { answers.push_back(router.unblock(id_of(name))); }
    void expire(int name) { objects.erase(name); }
    void scope(int slot, int name, unsigned priority)
    {
        make(name, [&](auto&& d) {
            scopes[static_cast<std::size_t>(slot)] = router.add_scoped_destination(std::move(d), priority);
        });
        id_of(name) = scopes[static_cast<std::size_t>(slot)].id();
    }
    void unscope(int slot) { scopes[static_cast<std::size_t>(slot)] = vessa::scoped_destination(); }
    void release(int slot) { scopes[static_cast<std::size_t>(slot)].release(); }
    void route(int value) { router.distribute(value); }
    void route_batch(const std::vector<int>& values) { router.distribute_batch(values); }
    bool alive(int name) const
    {
        const auto object = observed.find(name);
        return copies_of[name] > 0 && (object == observed.end() || !object->second.expired());
    }

    std::vector<bool> answers;
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
    std::vector<bool> answers;
    std::map<int, int> blocks;
    std::set<int> expired;
    // Calls under way by name: a tracked one holds its object alive.
    std::map<int, int> calls;
    std::vector<int> scopes = std::vector<int>(scope_slots, -1);

    bool gone(int name) const
    {
        const auto running = calls.find(name);
        return is_tracked(name) && expired.count(name) != 0 && (running == calls.end() || running->second == 0);
    }
    // Every change first unlists the tracked destinations whose object is
    // gone, and drops such a default.
    void drop_expired()
    {
        listed.erase(std::remove_if(listed.begin(), listed.end(), [&](const entry& e) { return gone(e.name); }),
                     listed.end());
        if (default_name >= 0 && gone(default_name))
            default_name = -1;
    }
    void add(int name, unsigned priority)
    {
        drop_expired();
        listed.push_back({name, priority});
    }
    void remove(int name)
    {
        drop_expired();
        const auto found = std::find_if(listed.begin(), listed.end(), [&](const entry& e) { return e.name == name; });
        answers.push_back(found != listed.end());
        if (found != listed.end())
            listed.erase(found);
    }
    void set_default(int name)
    {
        drop_expired();
        default_name = name;
    }
    void block(int name)
    {
        drop_expired();
        answers.push_back(is_listed(name));
        blocks[name] += is_listed(name);
    }
    void unblock(int name)
    {
        drop_expired();
        answers.push_back(is_listed(name));
        if (is_listed(name) && blocks[name] > 0)
            --blocks[name];
    }
    void expire(int name) { expired.insert(name); }
    void scope(int slot, int name, unsigned priority)
    {
        add(name, priority);
        unscope(slot);
        scopes[static_cast<std::size_t>(slot)] = name;
    }
    void unscope(int slot)
    {
        const int scoped = std::exchange(scopes[static_cast<std::size_t>(slot)], -1);
        if (scoped >= 0) {
            remove(scoped);
            answers.pop_back(); // a scope gives no answer
        }
    }
    void release(int slot) { scopes[static_cast<std::size_t>(slot)] = -1; }
    bool alive(int) const { return true; }
    bool is_listed(int name) const
    {
        return std::any_of(listed.begin(), listed.end(), [&](const entry& e) { return e.name == name; });
    }
    bool offered(int name) const
    {
        const auto blocked = blocks.find(name);
        return is_listed(name) && !gone(name) && (blocked == blocks.end() || blocked->second == 0);
    }
    // Offers name the values in turn, a listed one until it is unlisted or
    // blocked, and returns those it did not take and those it was not
    // offered. A tracked one holds its object alive throughout.
    std::vector<int> call(int name, const std::vector<int>& values, bool is_listed_one)
    {
        ++calls[name];
        struct leave {
            int& running;
            ~leave() { --running; }
        } on_exit{calls[name]};
        std::vector<int> left;
        for (auto v = values.begin(); v != values.end(); ++v) {
            if (!act(*this, name, *v))
                left.push_back(*v);
            if (is_listed_one && !offered(name)) {
                left.insert(left.end(), v + 1, values.end());
                break;
            }
        }
        return left;
    }
    // A value alone, or a chunk: each destination listed when the walk
    // begins is offered, in turn, what none before it took; the default
    // installed when the walk ends is offered the rest.
    void route_batch(std::vector<int> pending)
    {
        const std::vector<entry> order = heap_order(listed, [](const entry& e) { return e.priority; });
        for (auto e = order.begin(); e != order.end() && !pending.empty(); ++e) {
            if (offered(e->name))
                pending = call(e->name, pending, true);
        }
        if (default_name >= 0 && !gone(default_name) && !pending.empty())
            call(default_name, pending, false);
    }
    void route(int value) { route_batch({value}); }
};

// count values from first on, which a batch offers each destination in
// one call.
std::vector<int> values_from(int first, int count)
{
    std::vector<int> values(static_cast<std::size_t>(count));
    std::iota(values.begin(), values.end(), first);
    return values;
}

// One step of the driver, from outside any destination: a change, or
// routing a value or a batch about half the time.
template <typename World>
void step(World& world, std::mt19937& random)
{
    const auto what = static_cast<script::kind>(random() % 18);
    const int param = static_cast<int>(random() % 1000);
    try {
        if (what < script::route_again)
            change(world, what, param, -1);
        else if (what % 2 == 0)
            world.route(param % 50);
        else
            world.route_batch(values_from(param % 50, 1 + param % 5));
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
    for (std::uint32_t seed = 1; seed <= 1000; ++seed) {
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
            ASSERT_EQ(real.answers, model.answers) << "seed " << seed << ", step " << i;
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
