// What a concurrent_router's changes cost in allocations and frees:
// random adds and removes against a model of what is listed, with the
// allocations that removals make counted; and copies freed at once again
// after a free that found no other thread routing.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <vessa/concurrent_router.hpp>

#include "watchdog.hpp"

namespace {

long allocations = 0;

void* allocate(std::size_t size)
{
    ++allocations;
    if (void* const memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}

// Out of line: GCC pairs an inlined free with the operator new it sees.
[[gnu::noinline]] void release(void* memory) { std::free(memory); }

} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
// std::stable_sort's buffer comes from these.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    ++allocations;
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept { return operator new(size, nothrow); }
void operator delete(void* memory) noexcept { release(memory); }
void operator delete[](void* memory) noexcept { release(memory); }
void operator delete(void* memory, std::size_t) noexcept { release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { release(memory); }

namespace {

using router = vessa::concurrent_router<int>;

constexpr int most_listed = 40;

struct model_entry {
    vessa::destination_id id;
    int key;
    unsigned priority;
};

// The order a value meets the model's entries in, listed in the order of
// adding: the heap that adding them again builds, or sorted by priority.
std::vector<model_entry> walk_order(const std::vector<model_entry>& model, vessa::listing order)
{
    const auto lower = [](const model_entry& a, const model_entry& b) { return a.priority < b.priority; };
    std::vector<model_entry> walked;
    for (const model_entry& e : model) {
        walked.push_back(e);
        if (order == vessa::listing::heap)
            std::push_heap(walked.begin(), walked.end(), lower);
    }
    if (order == vessa::listing::sorted)
        std::stable_sort(walked.begin(), walked.end(), [lower](const auto& a, const auto& b) { return lower(b, a); });
    return walked;
}

// Adds and removes at random, with one priority (removals in place) or
// three (removals that rebuild the array too); each step checks that one
// value meets what the model lists, in the order the listing gives. Once
// arrays have grown, removals allocate nothing.
TEST(concurrent_router_changes, removals_allocate_nothing_once_arrays_have_grown)
{
    for (const auto& [order, priorities] : {std::pair{vessa::listing::heap, 1u}, std::pair{vessa::listing::heap, 3u},
                                            std::pair{vessa::listing::sorted, 3u}}) {
        router r(order);
        // Each key's place among the calls of one value, from 1.
        std::array<int, most_listed> calls{};
        int called = 0;
        std::vector<model_entry> model;
        model.reserve(most_listed);
        std::mt19937 random(7);
        long removal_allocations = 0;
        for (int step = 0; step < 6000; ++step) {
            // Filled first, so that no later step lists more than ever.
            const bool add = step < most_listed || model.empty() || (model.size() < most_listed && random() % 2 == 0);
            if (add) {
                int key = 0;
                while (std::any_of(model.begin(), model.end(), [key](const model_entry& e) { return e.key == key; }))
                    ++key;
                int* const counted = &calls[static_cast<std::size_t>(key)];
                const auto priority = static_cast<unsigned>(random() % priorities);
                const auto id = r.add_destination(
                    [counted, &called](const int&) {
                        *counted = ++called;
                        return false;
                    },
                    priority);
                model.push_back({id, key, priority});
            } else {
                const auto at = model.begin() + static_cast<std::ptrdiff_t>(random() % model.size());
                const long before = allocations;
                ASSERT_TRUE(r.remove_destination(at->id));
                if (step >= 3000)
                    removal_allocations += allocations - before;
                model.erase(at);
            }
            calls.fill(0);
            called = 0;
            r.distribute(0);
            ASSERT_EQ(called, static_cast<int>(model.size())) << "step " << step;
            const std::vector<model_entry> in_order = walk_order(model, order);
            for (std::size_t place = 0; place < in_order.size(); ++place)
                ASSERT_EQ(calls[static_cast<std::size_t>(in_order[place].key)], static_cast<int>(place) + 1)
                    << "step " << step;
        }
        EXPECT_EQ(removal_allocations, 0);
    }
}

// A thread routes once and is gone: the router is shared until a free
// finds no other thread inside it, and from then on each removal destroys
// its copy before it returns.
TEST(concurrent_router_changes, frees_at_once_again_after_a_free_finds_no_other_reader)
{
    const watchdog w("a thread routing once");
    router r;
    std::thread([&r] { r.distribute(1); }).join();
    const auto token = std::make_shared<int>(0);
    int kept_after_removal = 0;
    for (int change = 0; change < 200; ++change) {
        const auto id = r.add_destination([token](const int&) { return false; });
        r.remove_destination(id);
        kept_after_removal += change >= 100 && token.use_count() != 1;
    }
    EXPECT_EQ(kept_after_removal, 0);
}

} // namespace
