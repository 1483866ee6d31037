// The inbox against a model: threads post numbered values while the owner
// routes them through destinations that refuse, throw, take and post back,
// and one poster stops at each side of block boundaries while the owner
// routes; then every value was routed once, in its poster's order. Posts
// from a thread's exit, a range whose input waits, and no allocation once
// the inbox has warmed up.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <cstdarg>
#include <dlfcn.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vessa/inbox.hpp>
#include <vessa/router.hpp>

#include "watchdog.hpp"

namespace {

// The thread calling close(), whether it has yielded since, and whether
// close() has returned. close() yields only while it waits for a post
// under way: a post held until close() has yielded or returned is one that
// close() either waits for or leaves behind.
std::atomic<std::thread::id> closing_thread{};
std::atomic<bool> closer_waited{false};
std::atomic<bool> close_returned{false};

bool close_waits_or_returned() { return closer_waited.load() || close_returned.load(); }

// A thread to hold once a futex call of its own returns, until close()
// waits or returns; whether it has made the call, and been let go.
std::atomic<std::thread::id> held_after_futex{};
std::atomic<bool> futex_entered{false};
std::atomic<bool> futex_let_go{false};

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

// The thread watched, and whether it has gone to sleep on a futex with no
// timeout since: the owner does so only once it has looked, found nothing
// and asked posts to wake it.
std::atomic<std::thread::id> sleeper_watched{};
std::atomic<bool> watched_sleeps{false};

// Not instrumented: the sanitizers' runtimes call these too. Reads six
// arguments whatever the call, as the C library's own does.
extern "C" __attribute__((no_sanitize("address", "thread", "undefined"))) long syscall(long number, ...) noexcept
{
    std::va_list args;
    va_start(args, number);
    long a[6];
    for (long& arg : a)
        arg = va_arg(args, long);
    va_end(args);
    if (number == SYS_futex && (a[1] & FUTEX_CMD_MASK) == FUTEX_WAIT && a[3] == 0
        && std::this_thread::get_id() == sleeper_watched.load(std::memory_order_relaxed))
        watched_sleeps.store(true, std::memory_order_release);
    static const auto real = reinterpret_cast<long (*)(long, ...)>(dlsym(RTLD_NEXT, "syscall"));
    if (number != SYS_futex || std::this_thread::get_id() != held_after_futex.load(std::memory_order_relaxed))
        return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    futex_entered.store(true, std::memory_order_release);
    const long result = real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    while (!close_waits_or_returned())
        sched_yield();
    held_after_futex.store(std::thread::id(), std::memory_order_relaxed);
    futex_let_go.store(true, std::memory_order_release);
    return result;
}

extern "C" __attribute__((no_sanitize("thread"))) int sched_yield() noexcept
{
    if (std::this_thread::get_id() == closing_thread.load(std::memory_order_relaxed))
        closer_waited.store(true, std::memory_order_release);
    return static_cast<int>(syscall(SYS_sched_yield));
}

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

// Move-only. A value that stops calls its stop as it is moved into the
// inbox, before it writes a field: the posting thread waits inside its
// post, its slot not yet written.
struct item {
    item(unsigned from, std::unique_ptr<counted_number> n, const std::function<void()>* stop_in_post = nullptr)
        : poster(from), number(std::move(n)), stop(stop_in_post)
    {
    }
    item(item&& other) noexcept : poster(stopped(other).poster), number(std::move(other.number)) {}
    unsigned poster;
    std::unique_ptr<counted_number> number;
    const std::function<void()>* stop = nullptr;

private:
    static item& stopped(item& value)
    {
        if (value.stop)
            (*std::exchange(value.stop, nullptr))();
        return value;
    }
};

item make_item(unsigned poster, unsigned number, const std::function<void()>* stop = nullptr)
{
    return item(poster, std::make_unique<counted_number>(number), stop);
}

void yield_until(const std::function<bool()>& done)
{
    while (!done())
        std::this_thread::yield();
}

template <typename Box>
void close_noting_waits(Box& box)
{
    closing_thread = std::this_thread::get_id();
    box.close();
    closing_thread = std::thread::id();
}

// Where the stopping poster waits for the owner to route: inside the post
// of the value before a block boundary, between posts at the boundary, and
// inside the posts of the two values after it.
struct stop_point {
    unsigned number;
    bool inside;
};
constexpr std::size_t block_values = vessa::batch<item>::capacity;
std::vector<stop_point> stop_points()
{
    std::vector<stop_point> points;
    for (unsigned boundary = block_values; boundary <= 3 * block_values; boundary += block_values)
        points.insert(points.end(), {{boundary - 1, true}, {boundary, false}, {boundary, true}, {boundary + 1, true}});
    return points;
}

constexpr unsigned posters = 3;
constexpr unsigned per_poster = 6000;
// The owner's own values: posted before routing starts, and posted back.
constexpr unsigned first_posts = posters;
constexpr unsigned posted_back = posters + 1;
// A value per stop, posted once the poster stops, to wake the owner.
constexpr unsigned nudges = posters + 2;
// One value whose post close() must wait for.
constexpr unsigned late = posters + 3;

// What the owner saw, by poster and number.
struct seen_value {
    unsigned first_call = 0; // the routing call that first offered it
    unsigned offers = 0;     // to the first destination, which all see
    unsigned taken = 0;
    unsigned posted_back_in = 0; // the call that posted it, for posted_back
};

class model {
public:
    explicit model(std::size_t capacity) : box(capacity), bound(capacity), seen(late + 1)
    {
        for (unsigned p = 0; p < posters; ++p)
            seen[p].resize(per_poster);
        seen[nudges].resize(stops.size());
        seen[late].resize(1);
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

        watchdog w("the model's owner to see the inbox closed and empty");
        closer_waited = false;
        close_returned = false;
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (unsigned p = 0; p < posters; ++p)
            threads.emplace_back([this, p, &go] { post_all(p, go); });
        threads.emplace_back([this] {
            for (unsigned k = 0; k < stops.size(); ++k) {
                yield_until([this, k] { return stops_reached.load() > k; });
                EXPECT_TRUE(box.post(make_item(nudges, k)));
            }
        });
        std::thread late_poster([this] { EXPECT_TRUE(box.post(make_item(late, 0, &stop_until_close_waits))); });
        std::thread closer([this, &threads] {
            for (std::thread& t : threads)
                t.join();
            // Once the owner has posted back: a bounded inbox may be full
            // at every try.
            yield_until([this] { return bound == 0 ? posted_back_count.load() != 0 : routed_once.load(); });
            yield_until([this] { return late_stopped.load(); });
            close_noting_waits(box);
            EXPECT_TRUE(late_moved_in) << "close() returned while a post was under way";
            close_returned = true;
            refused_after_close = !box.post(make_item(0, 0)) && !box.try_post(make_item(0, 0));
        });
        go.store(true, std::memory_order_release);
        while (box.wait()) {
            ++call;
            // The stopping poster stays where it is while this call routes.
            const unsigned stopped = stops_reached.load();
            try {
                const std::size_t routed = box.route(router);
                EXPECT_TRUE(bound == 0 || routed <= bound) << routed;
            } catch (const std::runtime_error&) {
                threw_in.push_back(call);
            }
            stops_routed = stopped;
            routed_once = true;
        }
        closer.join();
        late_poster.join();
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
        std::size_t next_stop = 0;
        for (unsigned n = 0; n < per_poster;) {
            const unsigned stop_at = poster == 0 && next_stop < stops.size() ? stops[next_stop].number : per_poster;
            const bool stops_here = stop_at == n;
            const unsigned way = stops_here ? 0 : random() % 3;
            if (stops_here) {
                if (!stops[next_stop++].inside)
                    stop_for_owner();
                else
                    EXPECT_TRUE(box.post(make_item(poster, n++, &stop_inside_post)));
                continue;
            }
            if (way == 0) {
                EXPECT_TRUE(box.post(make_item(poster, n++)));
            } else if (way == 1) {
                item value = make_item(poster, n++);
                while (!box.try_post(std::move(value)))
                    std::this_thread::yield();
            } else {
                std::vector<item> run;
                for (unsigned k = random() % 9; k > 0 && n < stop_at; --k)
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

    // Waits until the owner has routed everything posted before it.
    void stop_for_owner()
    {
        const unsigned reached = ++stops_reached;
        yield_until([this, reached] { return stops_routed.load() >= reached; });
    }

    // Held inside the post until close() waits for it, or has returned.
    void wait_for_close()
    {
        late_stopped = true;
        yield_until([this] { return box.closed() && close_waits_or_returned(); });
        late_moved_in = true;
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
        for (unsigned p = 0; p <= late; ++p) {
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
    unsigned last[late + 1] = {};
    bool refused_after_close = false;
    std::atomic<bool> routed_once{false};
    std::atomic<unsigned> posted_back_count{0};
    const std::vector<stop_point> stops = stop_points();
    std::atomic<unsigned> stops_reached{0};
    std::atomic<unsigned> stops_routed{0};
    const std::function<void()> stop_inside_post{[this] { stop_for_owner(); }};
    std::atomic<bool> late_stopped{false};
    std::atomic<bool> late_moved_in{false};
    const std::function<void()> stop_until_close_waits{[this] { wait_for_close(); }};
};

TEST(inbox, routes_every_value_once_in_each_posters_order)
{
    for (const std::size_t capacity : {0, 64}) {
        SCOPED_TRACE(capacity);
        model(capacity).run();
        EXPECT_EQ(numbers_alive.load(), 0);
    }
}

// What a router was offered, by poster and number.
struct recorder {
    recorder()
    {
        router.set_default_destination([this](const item& v) {
            return offered.push_back({v.poster, v.number->value}), true;
        });
    }
    vessa::router<item> router;
    std::vector<std::pair<unsigned, unsigned>> offered;
};

// A thread's thread_local object, made before its first post, posts from
// its destructor into the inbox the thread used, while a newcomer is in
// its first post there, and into an inbox the thread never used.
TEST(inbox, posts_from_a_threads_exit_keep_their_own_lane)
{
    watchdog w("a thread that posts from its thread_local destructor and a newcomer");
    vessa::inbox<item> used;
    vessa::inbox<item> unused;
    static std::atomic<int> step{0};
    struct posts_at_exit {
        vessa::inbox<item>* into = nullptr;
        vessa::inbox<item>* into_unused = nullptr;
        ~posts_at_exit()
        {
            step = 1;
            yield_until([] { return step.load() == 2; });
            EXPECT_TRUE(into->post(make_item(0, 1)));
            step = 3;
            EXPECT_TRUE(into_unused->post(make_item(0, 0)));
        }
    };
    std::thread exiting([&used, &unused] {
        static thread_local posts_at_exit at_exit;
        at_exit.into = &used;
        at_exit.into_unused = &unused;
        EXPECT_TRUE(used.post(make_item(0, 0)));
    });
    const std::function<void()> hold_newcomer{[] {
        step = 2;
        yield_until([] { return step.load() == 3; });
    }};
    std::thread newcomer([&used, &hold_newcomer] {
        yield_until([] { return step.load() == 1; });
        EXPECT_TRUE(used.post(make_item(1, 0, &hold_newcomer)));
    });
    exiting.join();
    newcomer.join();
    recorder routed;
    used.route(routed.router);
    unused.route(routed.router);
    const std::vector<std::pair<unsigned, unsigned>> expected{{0, 0}, {0, 1}, {1, 0}, {0, 0}};
    std::sort(routed.offered.begin(), routed.offered.begin() + std::min<std::size_t>(3, routed.offered.size()));
    EXPECT_EQ(routed.offered, expected);
}

// A thread that posts into one inbox, then another, keeps its lane in the
// first, while it forgets the lane of an inbox destroyed meanwhile: a
// second lane would be routed before the first.
TEST(inbox, a_thread_keeps_its_lane_while_it_posts_elsewhere)
{
    vessa::inbox<item> first;
    {
        vessa::inbox<item> gone;
        EXPECT_TRUE(gone.post(make_item(0, 0)));
    }
    EXPECT_TRUE(first.post(make_item(0, 0)));
    vessa::inbox<item> second;
    EXPECT_TRUE(second.post(make_item(0, 0)));
    EXPECT_TRUE(first.post(make_item(0, 1)));
    recorder routed;
    first.route(routed.router);
    const std::vector<std::pair<unsigned, unsigned>> expected{{0, 0}, {0, 1}};
    EXPECT_EQ(routed.offered, expected);
}

// Yields 0 to 9, and runs wait_before(n) before it moves on to n.
class waiting_input {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = int;
    using difference_type = std::ptrdiff_t;
    using pointer = const int*;
    using reference = const int&;

    waiting_input(int at, const std::function<void(int)>* wait_before) : value(at), before(wait_before) {}
    const int& operator*() const { return value; }
    waiting_input& operator++()
    {
        (*before)(value + 1);
        ++value;
        return *this;
    }
    bool operator==(const waiting_input& other) const { return value == other.value; }
    bool operator!=(const waiting_input& other) const { return value != other.value; }

private:
    int value;
    const std::function<void(int)>* before;
};

// A range whose input waits after two values: the owner, asleep, is woken
// for them meanwhile, and close() returns meanwhile; the rest is refused.
TEST(inbox, a_range_post_publishes_each_value_as_its_input_gives_it)
{
    watchdog w("an owner asleep to go to sleep");
    vessa::inbox<int> box;
    std::atomic<int> routed{0};
    close_returned = false;
    watched_sleeps = false;
    sleeper_watched = std::this_thread::get_id();
    const std::function<void(int)> wait_before{[&](int next) {
        if (next == 2) {
            w.now_waiting_for("the owner to be woken for the first values of a range still under way");
            yield_until([&routed] { return routed.load() == 2; });
            w.now_waiting_for("close() to return while a range post waits for its input");
            yield_until([] { return close_returned.load(); });
        }
    }};
    std::thread poster([&] {
        yield_until([] { return watched_sleeps.load(); });
        EXPECT_EQ(box.post(waiting_input(0, &wait_before), waiting_input(10, &wait_before)), 2u);
    });
    std::thread closer([&] {
        yield_until([&routed] { return routed.load() == 2; });
        box.close();
        close_returned = true;
    });
    vessa::router<int> router;
    router.set_default_destination([&routed](const int& v) {
        EXPECT_EQ(v, routed++);
        return true;
    });
    while (box.wait()) {
        sleeper_watched = std::thread::id();
        box.route(router);
    }
    poster.join();
    closer.join();
    EXPECT_EQ(routed.load(), 2);
}

// close() waits for a post that it wakes from a wait for room and
// refuses, and for a post that has yet to return from waking the owner:
// each is held as its futex call returns.
TEST(inbox, close_waits_for_refused_posts_and_wakes)
{
    for (const std::size_t capacity : {1, 0}) {
        SCOPED_TRACE(capacity);
        watchdog w("a post that waits for room, or wakes the owner, to make its futex call");
        vessa::inbox<int> box(capacity);
        closer_waited = false;
        close_returned = false;
        futex_entered = false;
        futex_let_go = false;
        watched_sleeps = false;
        if (capacity != 0)
            ASSERT_TRUE(box.post(0));
        else
            sleeper_watched = std::this_thread::get_id();
        std::thread poster([&box, capacity] {
            yield_until([capacity] { return capacity != 0 || watched_sleeps.load(); });
            held_after_futex = std::this_thread::get_id();
            EXPECT_EQ(box.post(1), capacity == 0);
        });
        std::thread closer([&box] {
            yield_until([] { return futex_entered.load(); });
            close_noting_waits(box);
            EXPECT_TRUE(futex_let_go) << "close() returned while a post was still inside post()";
            close_returned = true;
        });
        // Bounded, the owner routes nothing until then: the post waits.
        yield_until([capacity] { return capacity == 0 || close_returned.load(); });
        vessa::router<int> router;
        std::size_t routed = 0;
        while (box.wait()) {
            sleeper_watched = std::thread::id();
            routed += box.route(router);
        }
        poster.join();
        closer.join();
        EXPECT_EQ(routed, 1u);
    }
}

// The child of a fork closes an inbox that another thread was posting to
// at the fork: that post never ends in the child, and close() does not
// wait for it; what the forking thread posted is routed.
TEST(inbox, a_forked_child_closes_an_inbox_another_thread_was_posting_to)
{
    watchdog w("a forked child to close an inbox and route it");
    vessa::inbox<item> box;
    std::atomic<bool> inside{false};
    std::atomic<bool> let_go{false};
    const std::function<void()> hold{[&] {
        inside = true;
        yield_until([&let_go] { return let_go.load(); });
    }};
    std::thread poster([&box, &hold] { EXPECT_TRUE(box.post(make_item(0, 0, &hold))); });
    yield_until([&inside] { return inside.load(); });
    ASSERT_TRUE(box.post(make_item(1, 0)));
    const pid_t child = fork();
    if (child == 0) {
        // Ends the child should close() wait for ever.
        alarm(10);
        box.close();
        recorder routed;
        const bool routes_own = box.wait() && box.route(routed.router) == 1 && !box.wait();
        std::_Exit(routes_own && routed.offered.front().first == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child's status " << status;
    let_go = true;
    poster.join();
}

TEST(inbox, allocates_nothing_once_warm_and_destroys_what_was_never_routed)
{
    {
        vessa::inbox<item> box;
        vessa::router<item> router;
        router.set_default_destination([](const item&) { return true; });
        // Whole blocks, so that every round starts where the last did.
        constexpr std::size_t per_round = 9 * block_values;
        const auto round = [&box, &router] {
            for (unsigned n = 0; n < per_round; ++n)
                box.post(item(0, nullptr));
            return box.route(router);
        };
        // The second round still takes a block: routing keeps the last.
        round();
        round();
        const long warm = allocations.load();
        for (int r = 0; r < 10; ++r)
            EXPECT_EQ(round(), per_round);
        EXPECT_EQ(allocations.load(), warm);
        EXPECT_FALSE(box.wait_for(std::chrono::milliseconds(1)));
        for (unsigned n = 0; n < 1000; ++n)
            box.post(make_item(0, n));
    }
    EXPECT_EQ(numbers_alive.load(), 0);
}

// A value whose copy throws is not queued and gives its room back.
struct copy_may_throw {
    explicit copy_may_throw(bool throwing) : throws(throwing) {}
    copy_may_throw(const copy_may_throw& other) : throws(other.throws)
    {
        if (throws)
            throw std::runtime_error("copy refused");
    }
    bool throws;
};

TEST(inbox, a_post_whose_copy_throws_gives_its_room_back)
{
    vessa::inbox<copy_may_throw> box(1);
    const copy_may_throw refusing(true);
    const copy_may_throw copying(false);
    EXPECT_THROW(box.post(refusing), std::runtime_error);
    EXPECT_TRUE(box.try_post(copying));
    EXPECT_FALSE(box.try_post(copying));
    struct counting {
        std::size_t offered = 0;
        void distribute_batch(const copy_may_throw* first, const copy_may_throw* last) { offered += last - first; }
    } router;
    EXPECT_EQ(box.route(router), 1u);
    EXPECT_EQ(router.offered, 1u);
}

} // namespace
