// The inbox against a model: threads post numbered values while the owner
// routes them through destinations that refuse, throw, take and post back;
// then every value was routed once, in its poster's order. And no
// allocation once the inbox has warmed up.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <vessa/inbox.hpp>
#include <vessa/router.hpp>

namespace {

std::atomic<long> allocations{0};

void* allocate(std::size_t size)
{
    void* const memory = std::malloc(size == 0 ? 1 : size);
    if (!memory)
        throw std::bad_alloc();
    allocations.fetch_add(1, std::memory_order_relaxed);
    return memory;
}

// Out of line: inlined into a delete, GCC takes free for a mismatch.
[[gnu::noinline]] void release(void* memory) { std::free(memory); }

} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { release(memory); }
void operator delete[](void* memory) noexcept { release(memory); }
void operator delete(void* memory, std::size_t) noexcept { release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { release(memory); }

namespace {

// The numbers alive: one routed after it was destroyed, or never
// destroyed, shows.
std::atomic<long> numbers_alive{0};
struct counted_number {
    explicit counted_number(unsigned n) : value(n) { ++numbers_alive; }
    ~counted_number() { --numbers_alive; }
    counted_number(const counted_number&) = delete;
    counted_number& operator=(const counted_number&) = delete;
    unsigned value;
};

// Move-only.
struct item {
    unsigned poster;
    std::unique_ptr<counted_number> number;
};

item make_item(unsigned poster, unsigned number) { return {poster, std::make_unique<counted_number>(number)}; }

constexpr unsigned posters = 3;
constexpr unsigned per_poster = 6000;
// The owner's own values: posted before routing starts, and posted back.
constexpr unsigned first_posts = posters;
constexpr unsigned posted_back = posters + 1;

// What the owner saw, by poster and number.
struct seen_value {
    unsigned first_call = 0; // the routing call that first offered it
    unsigned offers = 0;     // to the first destination, which all see
    unsigned taken = 0;
    unsigned posted_back_in = 0; // the call that posted it, for posted_back
};

class model {
public:
    explicit model(std::size_t capacity) : box(capacity), bound(capacity), seen(posted_back + 1)
    {
        for (unsigned p = 0; p < posters; ++p)
            seen[p].resize(per_poster);
        build_router();
    }

    void run()
    {
        const unsigned first_count = bound == 0 ? 100 : static_cast<unsigned>(bound);
        for (unsigned n = 0; n < first_count; ++n)
            ASSERT_TRUE(box.post(make_item(first_posts, n)));
        seen[first_posts].resize(first_count);
        // A bounded inbox is full now; an unbounded one takes it.
        EXPECT_EQ(box.try_post(make_item(first_posts, first_count)), bound == 0);
        if (bound == 0)
            seen[first_posts].emplace_back();

        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (unsigned p = 0; p < posters; ++p)
            threads.emplace_back([this, p, &go] { post_all(p, go); });
        std::thread closer([this, &threads] {
            for (std::thread& t : threads)
                t.join();
            // Once the owner has posted back: a bounded inbox may be full
            // at every try.
            while (bound == 0 ? posted_back_count.load() == 0 : !routed_once.load())
                std::this_thread::yield();
            box.close();
            refused_after_close = !box.post(make_item(0, 0)) && !box.try_post(make_item(0, 0));
        });
        go.store(true, std::memory_order_release);
        while (box.wait()) {
            ++call;
            try {
                const std::size_t routed = box.route(router);
                EXPECT_TRUE(bound == 0 || routed <= bound) << routed;
            } catch (const std::runtime_error&) {
                threw_in.push_back(call);
            }
            routed_once = true;
        }
        closer.join();
        EXPECT_FALSE(box.wait_for(std::chrono::milliseconds(0)));
        check();
    }

private:
    // Posts per_poster numbered values, picking at random a post, a
    // try_post until one takes, or a range post.
    void post_all(unsigned poster, const std::atomic<bool>& go)
    {
        std::mt19937 random(poster + 1);
        while (!go.load(std::memory_order_acquire))
            std::this_thread::yield();
        for (unsigned n = 0; n < per_poster;) {
            const unsigned way = random() % 3;
            if (way == 0) {
                EXPECT_TRUE(box.post(make_item(poster, n++)));
            } else if (way == 1) {
                item value = make_item(poster, n++);
                while (!box.try_post(std::move(value)))
                    std::this_thread::yield();
            } else {
                std::vector<item> run;
                for (unsigned k = random() % 9; k > 0 && n < per_poster; --k)
                    run.push_back(make_item(poster, n++));
                const std::size_t count = run.size();
                EXPECT_EQ(box.post(std::make_move_iterator(run.begin()), std::make_move_iterator(run.end())), count);
            }
        }
    }

    void build_router()
    {
        // First, refusing: it is offered every value once, in order.
        router.add_destination(
            [this](const item& v) {
                const unsigned number = v.number->value;
                seen_value& s = seen[v.poster].at(number);
                if (s.offers++ == 0)
                    s.first_call = call;
                EXPECT_TRUE(last[v.poster] == number) << "poster " << v.poster << " number " << number;
                last[v.poster] = number + 1;
                return false;
            },
            4);
        router.add_destination(
            [](const item& v) {
                if (v.number->value % 997 == 13)
                    throw std::runtime_error("refused loudly");
                return false;
            },
            3);
        router.add_destination(
            [this](const item& v) {
                if (v.poster == posted_back || v.number->value % 7 != 3)
                    return false;
                const unsigned number = static_cast<unsigned>(seen[posted_back].size());
                if (box.try_post(make_item(posted_back, number))) {
                    seen[posted_back].push_back({0, 0, 0, call});
                    ++posted_back_count;
                }
                return take(v);
            },
            2);
        router.add_destination([this](const item& v) { return v.number->value % 5 == 0 && take(v); }, 1);
        router.set_default_destination([this](const item& v) { return take(v); });
    }

    bool take(const item& v)
    {
        ++seen[v.poster].at(v.number->value).taken;
        return true;
    }

    void check()
    {
        EXPECT_TRUE(refused_after_close);
        EXPECT_FALSE(threw_in.empty());
        for (unsigned p = 0; p <= posted_back; ++p) {
            EXPECT_EQ(last[p], seen[p].size()) << "poster " << p;
            for (unsigned n = 0; n < seen[p].size(); ++n) {
                const seen_value& s = seen[p][n];
                ASSERT_EQ(s.offers, 1u) << "poster " << p << " number " << n;
                const bool call_threw = std::find(threw_in.begin(), threw_in.end(), s.first_call) != threw_in.end();
                EXPECT_TRUE(call_threw ? s.taken <= 1 : s.taken == 1) << "poster " << p << " number " << n;
                EXPECT_TRUE(p != posted_back || s.first_call > s.posted_back_in) << "number " << n;
            }
        }
    }

    vessa::inbox<item> box;
    std::size_t bound;
    vessa::router<item> router;
    unsigned call = 0;
    std::vector<unsigned> threw_in;
    std::vector<std::vector<seen_value>> seen;
    unsigned last[posted_back + 1] = {};
    bool refused_after_close = false;
    std::atomic<bool> routed_once{false};
    std::atomic<unsigned> posted_back_count{0};
};

TEST(inbox, routes_every_value_once_in_each_posters_order)
{
    for (const std::size_t capacity : {0, 64}) {
        SCOPED_TRACE(capacity);
        model(capacity).run();
        EXPECT_EQ(numbers_alive.load(), 0);
    }
}

TEST(inbox, allocates_nothing_once_warm_and_destroys_what_was_never_routed)
{
    {
        vessa::inbox<item> box;
        vessa::router<item> router;
        router.set_default_destination([](const item&) { return true; });
        const auto round = [&box, &router] {
            for (unsigned n = 0; n < 3000; ++n)
                box.post(item{0, nullptr});
            return box.route(router);
        };
        // The second round still takes a block: routing keeps the last.
        round();
        round();
        const long warm = allocations.load();
        for (int r = 0; r < 10; ++r)
            EXPECT_EQ(round(), 3000u);
        EXPECT_EQ(allocations.load(), warm);
        EXPECT_FALSE(box.wait_for(std::chrono::milliseconds(1)));
        for (unsigned n = 0; n < 1000; ++n)
            box.post(make_item(0, n));
    }
    EXPECT_EQ(numbers_alive.load(), 0);
}

} // namespace
