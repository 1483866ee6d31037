// concurrent_router shared by routing threads and writer threads, checked
// against one event clock: a routing call that begins after an addition
// returned offers the value to the added destination, whatever priority
// it is given since; one that begins after a removal returned does not; a
// removal that waited leaves no call running and the copy destroyed;
// every copy is destroyed once; waiting from inside a routing call is
// refused, every time, also from a call of another router nested in it.
// Run under ThreadSanitizer (the tsan preset) and AddressSanitizer too.
#include <array>
#include <atomic>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <vessa/concurrent_router.hpp>

#include "watchdog.hpp"

namespace {

constexpr int slots = 64;
std::atomic<std::uint64_t> event_clock{1};
std::uint64_t tick() { return event_clock.fetch_add(1); }

// Per destination name: when add_destination returned, when the removal
// began and when it returned (0: not yet), calls running, copies alive.
struct slot_state {
    std::atomic<std::uint64_t> added{0}, removing{0}, removed{0};
    std::atomic<int> running{0}, copies{0};
};
std::array<slot_state, slots> state;
std::atomic<int> faults{0};
std::atomic<int> tried_waits{0}, refused_waits{0};
thread_local std::vector<int> offered_now;

struct routed {
    std::uint64_t began;
    bool try_waiting;
    // Routed on through the side router, inside the call of the first.
    bool nested;
};

// Waiting from inside a routing call must be refused, not hang.
void try_to_wait(vessa::concurrent_router<routed>& router)
{
    ++tried_waits;
    try {
        router.synchronize();
    } catch (const std::logic_error&) {
        ++refused_waits;
    }
}

// Its default tries to wait on both routers its calls are inside.
vessa::concurrent_router<routed> side;

// Every value reaches the default, listed destinations or not.
auto waiting_default(vessa::concurrent_router<routed>& router)
{
    return [&router](const routed& value) {
        if (value.nested)
            side.distribute(routed{value.began, value.try_waiting, false});
        else if (value.try_waiting)
            try_to_wait(router);
        return true;
    };
}

class refusing : public vessa::destination<routed> {
public:
    refusing(int slot_name, vessa::concurrent_router<routed>* r) : name(slot_name), router(r) { ++state[name].copies; }
    refusing(const refusing& other) : name(other.name), router(other.router) { ++state[name].copies; }
    ~refusing() override { --state[name].copies; }

    bool distribute(const routed& value) override
    {
        ++state[name].running;
        const std::uint64_t removed = state[name].removed.load();
        if (removed != 0 && value.began > removed)
            ++faults; // offered after its removal returned
        offered_now.push_back(name);
        if (value.try_waiting)
            try_to_wait(*router);
        --state[name].running;
        return false;
    }

private:
    int name;
    vessa::concurrent_router<routed>* router;
};

// Every destination added before the call began and not yet being removed
// when it ended was offered the value.
void check_offers(std::uint64_t began, std::uint64_t ended)
{
    std::array<bool, slots> offered{};
    for (const int name : offered_now)
        offered[name] = true;
    for (int name = 0; name < slots; ++name) {
        const std::uint64_t added = state[name].added.load(), removing = state[name].removing.load();
        if (added != 0 && added < began && (removing == 0 || removing > ended) && !offered[name])
            ++faults;
    }
    offered_now.clear();
}

std::atomic<int> writers_left{0};

// At least values, and on until the writers are done.
void route(vessa::concurrent_router<routed>& router, unsigned seed, int values)
{
    std::mt19937 random(seed);
    for (int i = 0; i < values || writers_left != 0; ++i) {
        const routed value{tick(), random() % 512 == 0, random() % 4 == 0};
        if (random() % 2 == 0)
            router.distribute(value);
        else
            router.distribute_batch(&value, &value + 1);
        check_offers(value.began, tick());
        // Asked while the writers change the router: race-free.
        if (random() % 16 == 0) {
            EXPECT_LE(router.size(), static_cast<std::size_t>(slots));
        }
    }
}

// Adds each name once, removes it later, waiting or not.
void change(vessa::concurrent_router<routed>& router, int first_name, int last_name, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<std::pair<int, vessa::destination_id>> listed;
    for (int name = first_name; name < last_name || !listed.empty();) {
        if (name < last_name && (listed.size() < 4 || random() % 2 == 0)) {
            listed.emplace_back(name, router.add_destination(refusing(name, &router)));
            state[name].added = tick();
            // A new array, while walks under way keep the one they are in.
            EXPECT_TRUE(router.set_priority(listed.back().second, random() % 3));
            ++name;
            continue;
        }
        const auto [removed_name, id] = listed.front();
        listed.erase(listed.begin());
        state[removed_name].removing = tick();
        // A block's stand-in, made now, meets walks under way; the removal
        // has begun, so that the walks may pass the destination over.
        EXPECT_TRUE(router.block(id));
        // Questions take the writers' mutex: race-free, and exact for what
        // this thread alone changes.
        EXPECT_TRUE(router.blocked(id));
        EXPECT_GT(router.size(), listed.size());
        if (random() % 2 == 0) {
            EXPECT_TRUE(router.unblock(id));
        }
        if (random() % 2 == 0) {
            EXPECT_TRUE(router.remove_destination_and_wait(id));
            if (state[removed_name].running != 0 || state[removed_name].copies != 0)
                ++faults;
        } else {
            EXPECT_TRUE(router.remove_destination(id));
        }
        state[removed_name].removed = tick();
        if (random() % 8 == 0)
            router.set_default_destination(waiting_default(router));
    }
    --writers_left;
}

TEST(concurrent_router, keeps_its_guarantees_under_routing_and_changing_threads)
{
    const watchdog w("the routing and changing threads");
    // Afresh, so that the test can be repeated.
    for (slot_state& s : state)
        s.added = s.removing = s.removed = 0;
    faults = tried_waits = refused_waits = 0;
    {
        vessa::concurrent_router<routed> router;
        router.set_default_destination(waiting_default(router));
        side.set_default_destination([&router](const routed& value) {
            if (value.try_waiting) {
                try_to_wait(router);
                try_to_wait(side);
            }
            return true;
        });
        std::vector<std::thread> threads;
        writers_left = 2;
        for (unsigned t = 0; t < 2; ++t)
            threads.emplace_back(route, std::ref(router), t + 1, 50000);
        threads.emplace_back(change, std::ref(router), 0, slots / 2, 3);
        threads.emplace_back(change, std::ref(router), slots / 2, slots, 4);
        for (std::thread& t : threads)
            t.join();
        EXPECT_EQ(faults, 0);
        EXPECT_GT(tried_waits, 0) << "no routing call tried to wait";
        EXPECT_EQ(refused_waits, tried_waits) << "a routing call waited for itself";
        router.synchronize();
        for (const slot_state& s : state)
            EXPECT_EQ(s.copies, 0);
        router.add_destination(refusing(0, &router));
    }
    EXPECT_EQ(state[0].copies, 0) << "the destructor left a copy";
}

} // namespace
