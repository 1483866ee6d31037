// vessa: a queue of values for one router, posted from any thread and
// routed on the thread that owns the router.
//
//     vessa::inbox<event> inbox;               // inbox(capacity) bounds it
//     // from any thread:
//     inbox.post(e);                           // false once closed
//     inbox.post(events.begin(), events.end());
//     inbox.try_post(e);                       // false when full or closed
//     // on the owning thread:
//     while (inbox.wait())                     // false once closed and empty
//         inbox.route(router);                 // a router or concurrent_router
//     // from any thread, when no more values will come:
//     inbox.close();
//
// Guarantees:
//  1. A post never waits for the owner: it takes no lock and makes no
//     system call while the owner is awake. Each posting thread has a lane
//     of its own, a chain of blocks of batch<T>::capacity values that are
//     reused once routed; a post writes the value, a count and a flag,
//     and reads two flags, with no fence and no read-modify-write. It allocates only on a
//     thread's first post, for its lane, and when the lane holds more
//     values at once than it ever did. A bounded post also counts itself
//     in a shared counter, and waits only while the inbox is full.
//  2. Values of one thread are routed in the order it posted them. Values
//     of different threads have no order between them.
//  3. route(r) routes the values posted before it began, through
//     r.distribute_batch, a run of one lane's block at a time, and returns
//     how many it routed. Values posted meanwhile, by a destination too,
//     wait for the next call. The router's own rules hold as in any other
//     routing call: the inbox adds none beyond order.
//  4. A destination that throws ends route(): the values of the run it
//     threw in are not offered again (a batch does not say which of them
//     the rest of the router was offered), and every value after that run
//     stays queued for the next call. None is offered twice.
//  5. wait() returns once values can be routed, or the inbox is closed and
//     empty. It sleeps only after a few rounds of looking; a post that
//     finds the owner asleep wakes it, and only such a post pays for it.
//  6. close() refuses every post that begins after it returns, with
//     false, and wakes the owner; what was posted before is still routed.
//     The destructor destroys the values never routed.
//  7. route, wait and wait_for belong to one thread at a time; post,
//     try_post and close to any. Destroying the inbox while another thread
//     uses it is not allowed. A destination that posts into a full
//     bounded inbox must use try_post: post would wait for itself.
//  8. Race-free as ThreadSanitizer sees it: values pass through release
//     and acquire of each lane's count.
#ifndef VESSA_INBOX_HPP
#define VESSA_INBOX_HPP

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <vessa/batch.hpp>
#include <vessa/read_sections.hpp>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

namespace vessa {

template <typename T>
class inbox {
public:
    // Unbounded.
    inbox();
    // Holds at most capacity values not yet routed; 0 means unbounded.
    explicit inbox(std::size_t capacity);
    ~inbox();

    inbox(const inbox&) = delete;
    inbox& operator=(const inbox&) = delete;

    // Queues the value and returns true, or returns false once the inbox
    // is closed. A full bounded inbox makes it wait for room.
    bool post(const T& value);
    bool post(T&& value);

    // Posts every element in order, as post does one, and returns how
    // many were posted: all of them unless the inbox closed meanwhile.
    template <typename InputIt>
    std::size_t post(InputIt first, InputIt last);

    // As post, but returns false at once when a bounded inbox is full.
    bool try_post(const T& value);
    bool try_post(T&& value);

    // Routes what was posted before the call through router, which has
    // distribute_batch(const T*, const T*), and returns how many values.
    template <typename Router>
    std::size_t route(Router& router);

    // Waits until values can be routed (true), or the inbox is closed and
    // empty (false).
    bool wait();
    // As wait, also false once the timeout has passed.
    template <typename Rep, typename Period>
    bool wait_for(const std::chrono::duration<Rep, Period>& timeout);

    // Refuses every later post, and wakes the owner.
    void close();
    bool closed() const { return is_closed.load(std::memory_order_acquire); }

private:
    struct block;
    struct lane;
    struct lanes;
    class posting;
    class parking;
    using clock = std::chrono::steady_clock;

    lane& own_lane();
    [[gnu::cold, gnu::noinline]] lane& join();
    template <typename V>
    bool post_one(V&& value, bool waits);
    bool reserve(bool waits);
    [[gnu::cold, gnu::noinline]] bool wait_for_room();
    void release_room(std::size_t count);
    template <typename V>
    static void put(lane& l, V&& value);
    [[gnu::cold, gnu::noinline]] static void next_block(lane& l);
    void wake_if_asleep();

    template <typename Router>
    std::size_t route_lane(lane& l, Router& router);
    static void recycle(lane& l);
    bool has_values() const;
    bool wait_until(const clock::time_point* deadline);

    const std::size_t capacity;
    const std::uint64_t serial;
    // Whose fences order posts against close(), shared with the routers.
    const detail::read_domain& domain;
    // Shared with the threads that post, which give their lane back when
    // they exit if the inbox is still alive.
    std::shared_ptr<lanes> all;
    std::atomic<bool> is_closed{false};
    // Set once every post that began before close() has ended.
    std::atomic<bool> close_done{false};

    // Bounded only: values queued, and the posts waiting for room.
    std::atomic<std::size_t> queued{0};
    std::atomic<unsigned> room_waiters{0};
    parking room;
    // 1 while the owner sleeps or is about to.
    parking owner;
};

// ---------------------------------------------------------------------
// Mechanics.

namespace detail {

// The lanes a thread holds, given back when it exits.
class held_lanes {
public:
    struct held {
        std::uint64_t inbox_serial;
        std::weak_ptr<void> owner;
        void* lane;
        std::atomic<bool>* in_use;
    };

    held_lanes() = default;
    held_lanes(const held_lanes&) = delete;
    held_lanes& operator=(const held_lanes&) = delete;
    ~held_lanes()
    {
        for (const held& h : all) {
            if (const std::shared_ptr<void> alive = h.owner.lock())
                h.in_use->store(false, std::memory_order_release);
        }
    }

    std::vector<held> all;
};
inline thread_local held_lanes own_lanes;

// The lane a thread posted to last.
struct last_lane {
    std::uint64_t inbox_serial;
    void* lane;
};
inline thread_local last_lane last_used_lane{0, nullptr};

inline std::uint64_t next_inbox_serial()
{
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

} // namespace detail

// A word a thread sleeps on until another changes it and wakes it: a
// futex on Linux, a mutex and condition variable elsewhere.
template <typename T>
class inbox<T>::parking {
public:
    std::atomic<std::uint32_t> word{0};

    // Sleeps while word holds expected, until woken or past deadline (null:
    // none). May return early: callers look again.
    void sleep_while(std::uint32_t expected, const clock::time_point* deadline);
    // Wakes every sleeper; callers change word first.
    void wake_all();

private:
#if !defined(__linux__)
    std::mutex mutex;
    std::condition_variable changed;
#endif
};

template <typename T>
struct inbox<T>::block {
    static constexpr std::size_t values = batch<T>::capacity;

    T* slot(std::size_t index) { return std::launder(reinterpret_cast<T*>(storage + index * sizeof(T))); }

    alignas(T) unsigned char storage[values * sizeof(T)];
    // The next block of the lane, or of the spares.
    block* next = nullptr;
};

// One posting thread's values. Each side keeps its fields on a cache line
// of its own.
template <typename T>
struct inbox<T>::lane {
    // The poster's.
    alignas(64) block* tail = nullptr;
    std::size_t tail_index = 0;
    std::size_t posted_here = 0;
    block* own_spares = nullptr;
    // Set while a post is under way: only close() reads it.
    std::atomic<bool> in_post{false};

    // Shared: values posted so far, stored with release after each one.
    alignas(64) std::atomic<std::size_t> posted{0};
    // Held by a live thread.
    std::atomic<bool> in_use{true};
    // Routed blocks, pushed by the owner and taken by the poster.
    std::atomic<block*> spares{nullptr};
    // Set before the lane is published, never changed.
    lane* next_lane = nullptr;

    // The owner's.
    alignas(64) block* head = nullptr;
    std::size_t head_index = 0;
    std::size_t routed = 0;
    // What the route() under way routes up to.
    std::size_t route_until = 0;
};

// Every lane, pushed at the front and kept until the inbox's last user goes.
template <typename T>
struct inbox<T>::lanes {
    lanes() = default;
    lanes(const lanes&) = delete;
    lanes& operator=(const lanes&) = delete;
    ~lanes()
    {
        for (lane* l = first.load(std::memory_order_acquire); l;) {
            lane* const next = l->next_lane;
            delete l;
            l = next;
        }
    }

    std::atomic<lane*> first{nullptr};
};

// A post under way: close() waits for it to end. Announced before the
// closed flag is read; close() stores the flag before it reads the
// announcements, and a heavy fence on its side orders both.
template <typename T>
class inbox<T>::posting {
public:
    posting(lane& l, const detail::read_domain& domain) : own(l)
    {
        own.in_post.store(true, std::memory_order_relaxed);
        domain.reader_fence();
    }
    ~posting() { own.in_post.store(false, std::memory_order_release); }
    posting(const posting&) = delete;
    posting& operator=(const posting&) = delete;

private:
    lane& own;
};

template <typename T>
inbox<T>::inbox() : inbox(0)
{
}

template <typename T>
inbox<T>::inbox(std::size_t bound)
    : capacity(bound), serial(detail::next_inbox_serial()),
      // Made before any post, so that it has decided whether posters fence
      // themselves.
      domain(detail::read_domain::of_process()), all(std::make_shared<lanes>())
{
}

template <typename T>
inbox<T>::~inbox()
{
    for (lane* l = all->first.load(std::memory_order_acquire); l; l = l->next_lane) {
        const std::size_t left = l->posted.load(std::memory_order_acquire) - l->routed;
        for (std::size_t i = 0; i < left; ++i) {
            if (l->head_index == block::values)
                recycle(*l);
            l->head->slot(l->head_index++)->~T();
        }
        for (block* b : {l->head, l->own_spares, l->spares.load(std::memory_order_acquire)}) {
            while (b) {
                block* const next = b->next;
                delete b;
                b = next;
            }
        }
    }
}

template <typename T>
bool inbox<T>::post(const T& value)
{
    return post_one(value, true);
}

template <typename T>
bool inbox<T>::post(T&& value)
{
    return post_one(std::move(value), true);
}

template <typename T>
bool inbox<T>::try_post(const T& value)
{
    return post_one(value, false);
}

template <typename T>
bool inbox<T>::try_post(T&& value)
{
    return post_one(std::move(value), false);
}

template <typename T>
template <typename InputIt>
std::size_t inbox<T>::post(InputIt first, InputIt last)
{
    std::size_t count = 0;
    if (capacity != 0) {
        for (; first != last && post_one(*first, true); ++first)
            ++count;
        return count;
    }
    lane& l = own_lane();
    {
        const posting scope(l, domain);
        if (is_closed.load(std::memory_order_relaxed))
            return 0;
        try {
            for (; first != last; ++first, ++count)
                put(l, *first);
        } catch (...) {
            // What was posted before the throw is there to route.
            wake_if_asleep();
            throw;
        }
    }
    wake_if_asleep();
    return count;
}

template <typename T>
template <typename Router>
std::size_t inbox<T>::route(Router& router)
{
    lane* const first = all->first.load(std::memory_order_acquire);
    for (lane* l = first; l; l = l->next_lane)
        l->route_until = l->posted.load(std::memory_order_acquire);
    std::size_t count = 0;
    for (lane* l = first; l; l = l->next_lane)
        count += route_lane(*l, router);
    return count;
}

template <typename T>
bool inbox<T>::wait()
{
    return wait_until(nullptr);
}

template <typename T>
template <typename Rep, typename Period>
bool inbox<T>::wait_for(const std::chrono::duration<Rep, Period>& timeout)
{
    const clock::time_point deadline = clock::now() + std::chrono::ceil<clock::duration>(timeout);
    return wait_until(&deadline);
}

template <typename T>
void inbox<T>::close()
{
    is_closed.store(true, std::memory_order_seq_cst);
    room.word.fetch_add(1, std::memory_order_seq_cst);
    room.wake_all();
    domain.heavy_fence();
    for (lane* l = all->first.load(std::memory_order_seq_cst); l; l = l->next_lane) {
        while (l->in_post.load(std::memory_order_acquire))
            std::this_thread::yield();
    }
    close_done.store(true, std::memory_order_seq_cst);
    wake_if_asleep();
}

// The posting side.

template <typename T>
typename inbox<T>::lane& inbox<T>::own_lane()
{
    const detail::last_lane& last = detail::last_used_lane;
    if (detail::usually(last.inbox_serial == serial))
        return *static_cast<lane*>(last.lane);
    return join();
}

// The thread's lane in this inbox: one it holds, one a thread that exited
// gave back, or a new one.
template <typename T>
typename inbox<T>::lane& inbox<T>::join()
{
    std::vector<detail::held_lanes::held>& held = detail::own_lanes.all;
    lane* found = nullptr;
    for (const detail::held_lanes::held& h : held) {
        if (h.inbox_serial == serial)
            found = static_cast<lane*>(h.lane);
    }
    if (!found) {
        held.erase(std::remove_if(held.begin(), held.end(), [](const auto& h) { return h.owner.expired(); }),
                   held.end());
        held.reserve(held.size() + 1);
        for (lane* l = all->first.load(std::memory_order_acquire); l && !found; l = l->next_lane) {
            bool free = false;
            if (l->in_use.compare_exchange_strong(free, true, std::memory_order_acquire))
                found = l;
        }
        if (!found) {
            std::unique_ptr<lane> made(new lane);
            made->tail = made->head = new block;
            made->next_lane = all->first.load(std::memory_order_relaxed);
            while (!all->first.compare_exchange_weak(made->next_lane, made.get(), std::memory_order_seq_cst))
                ;
            found = made.release();
        }
        held.push_back({serial, all, found, &found->in_use});
    }
    detail::last_used_lane = {serial, found};
    return *found;
}

template <typename T>
template <typename V>
bool inbox<T>::post_one(V&& value, bool waits)
{
    lane& l = own_lane();
    if (capacity != 0 && !reserve(waits))
        return false;
    {
        const posting scope(l, domain);
        if (is_closed.load(std::memory_order_relaxed)) {
            release_room(1);
            return false;
        }
        try {
            put(l, std::forward<V>(value));
        } catch (...) {
            release_room(1);
            throw;
        }
    }
    wake_if_asleep();
    return true;
}

// Bounded only: takes room for one value, waiting for it if waits.
template <typename T>
bool inbox<T>::reserve(bool waits)
{
    std::size_t held = queued.load(std::memory_order_seq_cst);
    while (held < capacity) {
        if (queued.compare_exchange_weak(held, held + 1, std::memory_order_seq_cst))
            return true;
    }
    return waits && wait_for_room();
}

// Counted among the waiters before looking again, so that an owner that
// makes room after the look sees the count and wakes this thread.
template <typename T>
bool inbox<T>::wait_for_room()
{
    for (;;) {
        if (is_closed.load(std::memory_order_seq_cst))
            return false;
        room_waiters.fetch_add(1, std::memory_order_seq_cst);
        const std::uint32_t seen = room.word.load(std::memory_order_seq_cst);
        const bool got = reserve(false);
        if (!got && !is_closed.load(std::memory_order_seq_cst))
            room.sleep_while(seen, nullptr);
        room_waiters.fetch_sub(1, std::memory_order_relaxed);
        if (got)
            return true;
    }
}

template <typename T>
void inbox<T>::release_room(std::size_t count)
{
    if (capacity == 0 || count == 0)
        return;
    queued.fetch_sub(count, std::memory_order_seq_cst);
    if (room_waiters.load(std::memory_order_seq_cst) != 0) {
        room.word.fetch_add(1, std::memory_order_seq_cst);
        room.wake_all();
    }
}

// Writes the value into the lane and publishes it.
template <typename T>
template <typename V>
void inbox<T>::put(lane& l, V&& value)
{
    if (l.tail_index == block::values)
        next_block(l);
    ::new (static_cast<void*>(l.tail->storage + l.tail_index * sizeof(T))) T(std::forward<V>(value));
    ++l.tail_index;
    l.posted.store(++l.posted_here, std::memory_order_release);
}

// Links a spare block, or a new one, after the full tail.
template <typename T>
void inbox<T>::next_block(lane& l)
{
    if (!l.own_spares)
        l.own_spares = l.spares.exchange(nullptr, std::memory_order_acquire);
    block* added = l.own_spares;
    if (added)
        l.own_spares = added->next;
    else
        added = new block;
    added->next = nullptr;
    l.tail->next = added;
    l.tail = added;
    l.tail_index = 0;
}

// Posts call it after storing their count, with no fence between (see
// wait_until). Only the post that takes the flag back makes the system
// call.
template <typename T>
void inbox<T>::wake_if_asleep()
{
    if (owner.word.load(std::memory_order_seq_cst) != 0 && owner.word.exchange(0, std::memory_order_acq_rel) != 0)
        owner.wake_all();
}

// The owning side.

// Routes the lane's values up to route_until, one block's run at a time.
// A run counts as routed as soon as it is handed to the router, even if a
// destination throws.
template <typename T>
template <typename Router>
std::size_t inbox<T>::route_lane(lane& l, Router& router)
{
    class run_end {
    public:
        run_end(inbox& box, lane& routed_lane, std::size_t count) : owner(box), l(routed_lane), length(count) {}
        ~run_end()
        {
            T* const first = l.head->slot(l.head_index);
            for (std::size_t i = 0; i < length; ++i)
                first[i].~T();
            l.head_index += length;
            l.routed += length;
            owner.release_room(length);
        }
        run_end(const run_end&) = delete;
        run_end& operator=(const run_end&) = delete;

    private:
        inbox& owner;
        lane& l;
        std::size_t length;
    };

    std::size_t count = 0;
    while (l.routed != l.route_until) {
        if (l.head_index == block::values)
            recycle(l);
        const std::size_t left = l.route_until - l.routed;
        const std::size_t run = left < block::values - l.head_index ? left : block::values - l.head_index;
        const run_end end(*this, l, run);
        const T* const first = l.head->slot(l.head_index);
        router.distribute_batch(first, first + run);
        count += run;
    }
    return count;
}

// The head block is routed: it becomes a spare, and its successor the head.
template <typename T>
void inbox<T>::recycle(lane& l)
{
    block* const done = l.head;
    l.head = done->next;
    l.head_index = 0;
    done->next = l.spares.load(std::memory_order_relaxed);
    while (!l.spares.compare_exchange_weak(done->next, done, std::memory_order_release, std::memory_order_relaxed))
        ;
}

template <typename T>
bool inbox<T>::has_values() const
{
    for (const lane* l = all->first.load(std::memory_order_acquire); l; l = l->next_lane) {
        if (l->posted.load(std::memory_order_seq_cst) != l->routed)
            return true;
    }
    return false;
}

// Looks a few times, yielding in between, before it sleeps: a post that
// comes meanwhile then makes no system call. Then it stores its flag,
// looks again and sleeps until a post that reads the flag wakes it. A
// post stores its count and reads the flag with no fence between, to keep
// the fence's cost (tens of ns) off every post, so a post that overlaps
// the flag's store may read the flag unset while the owner's look misses
// its count: only for as long as the post's store takes to reach memory.
// The owner's first sleep is therefore short, and it looks once more
// before sleeping for good. membarrier() would close the window instead,
// but on a virtual machine it can take milliseconds, stalling every
// posting thread meanwhile.
template <typename T>
bool inbox<T>::wait_until(const clock::time_point* deadline)
{
    constexpr unsigned looks_before_sleeping = 16;
    constexpr std::chrono::microseconds first_sleep(50);
    for (unsigned looks = 0;; ++looks) {
        if (has_values())
            return true;
        if (close_done.load(std::memory_order_acquire))
            return has_values();
        if (deadline && clock::now() >= *deadline)
            return false;
        if (looks < looks_before_sleeping) {
            std::this_thread::yield();
            continue;
        }
        owner.word.store(1, std::memory_order_seq_cst);
        // A post that read the flag unset stored its count before: it
        // reaches memory within these looks, most often.
        for (unsigned look = 0; look < looks_before_sleeping && !has_values(); ++look)
            std::this_thread::yield();
        const clock::time_point short_deadline = clock::now() + first_sleep;
        const clock::time_point* sleeps_until = deadline && *deadline < short_deadline ? deadline : &short_deadline;
        for (int sleep = 0; sleep < 2 && !has_values() && !close_done.load(std::memory_order_seq_cst); ++sleep) {
            owner.sleep_while(1, sleeps_until);
            sleeps_until = deadline;
        }
        owner.word.store(0, std::memory_order_relaxed);
    }
}

template <typename T>
void inbox<T>::parking::sleep_while(std::uint32_t expected, const clock::time_point* deadline)
{
#if defined(__linux__)
    timespec remaining{};
    if (deadline) {
        const auto left = *deadline - clock::now();
        if (left <= clock::duration::zero())
            return;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        remaining.tv_sec = static_cast<time_t>(seconds.count());
        remaining.tv_nsec = static_cast<long>(std::chrono::nanoseconds(left - seconds).count());
    }
    syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, expected, deadline ? &remaining : nullptr, nullptr, 0);
#else
    std::unique_lock<std::mutex> lock(mutex);
    if (word.load(std::memory_order_acquire) != expected)
        return;
    if (deadline)
        changed.wait_until(lock, *deadline);
    else
        changed.wait(lock);
#endif
}

template <typename T>
void inbox<T>::parking::wake_all()
{
#if defined(__linux__)
    syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
#else
    {
        const std::lock_guard<std::mutex> lock(mutex);
    }
    changed.notify_all();
#endif
}

} // namespace vessa

#endif
