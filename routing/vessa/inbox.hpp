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
//     reused once routed; an unbounded post writes the value, a count and
//     a flag, and reads the count and two flags, with no fence and no
//     read-modify-write.
//     It allocates only on a thread's first post, for its lane, and when
//     the lane holds more values at once than it ever did. A bounded post
//     also counts itself in a shared counter, and waits only while the
//     inbox is full.
//  2. Values of one thread are routed in the order it posted them. Values
//     of different threads have no order between them. A range post
//     publishes each value as it goes, and wakes the owner if it sleeps.
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
//     It returns once every post it found under way has ended, refused or
//     not, and no longer touches the inbox. The destructor destroys the
//     values never routed.
//  7. route, wait and wait_for belong to one thread at a time; post,
//     try_post and close to any. Destroying the inbox while another thread
//     may still call it is not allowed: join the posting threads, or know
//     otherwise that they have returned, before destroying it. A
//     destination that posts into a full bounded inbox must use try_post:
//     post would wait for itself.
//  8. Posting from a thread_local destructor, or from a destructor of
//     another thread-specific key, is ordinary use: a thread gives its
//     lanes back only after those have run.
//  9. Race-free as ThreadSanitizer sees it: values pass through release
//     and acquire of each lane's count.
//
// In the child of a fork, close() does not wait for the posts that other
// threads had under way: their values are never routed. A shared object with its own copy of this code must not be
// unloaded while a thread that posted through it runs: the thread's exit
// calls that copy. docs/inbox.md lists every handshake between posts, the
// owner and close(), with what orders each.
#ifndef VESSA_INBOX_HPP
#define VESSA_INBOX_HPP

#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include <vessa/batch.hpp>
#include <vessa/read_sections.hpp>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#else
#include <condition_variable>
#include <mutex>
#endif

namespace vessa {
namespace detail {

// An inbox's name for the caches of the threads that post to it: a number
// and the counter that gave it, since each copy of this code in a process
// (a shared object with hidden symbols) counts its own.
struct inbox_identity {
    const void* counter;
    std::uint64_t number;
    bool operator==(const inbox_identity& other) const { return number == other.number && counter == other.counter; }
};

struct inbox_block;
struct inbox_lane;
struct inbox_lanes;

// A word a thread sleeps on until another changes it and wakes it: a
// futex on Linux, a mutex and condition variable elsewhere.
class parking {
public:
    using clock = std::chrono::steady_clock;

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

// What an inbox does whatever its values are: lanes, room, close() and
// the owner's waits. Not a template, so that a file compiles it once
// however many types it posts.
class inbox_core {
public:
    explicit inbox_core(std::size_t capacity);
    inbox_core(const inbox_core&) = delete;
    inbox_core& operator=(const inbox_core&) = delete;

    // Waits until values can be routed (true), or the inbox is closed and
    // empty (false).
    bool wait();
    // As wait, also false once the timeout has passed.
    template <typename Rep, typename Period>
    bool wait_for(const std::chrono::duration<Rep, Period>& timeout);

    // Refuses every later post, waits for the posts under way, and wakes
    // the owner.
    void close();
    bool closed() const { return is_closed.load(std::memory_order_acquire); }

protected:
    class posting;
    using lane = inbox_lane;
    using clock = parking::clock;

    ~inbox_core() = default;

    // make_block makes the first block of a new lane.
    lane& own_lane(inbox_block* (*make_block)());
    // Declared inline here: GCC warns of an inline definition after noinline.
    [[gnu::cold, gnu::noinline]] inline lane& join(inbox_block* (*make_block)());
    [[gnu::noinline]] inline bool reserve(bool waits);
    [[gnu::cold, gnu::noinline]] inline bool wait_for_room();
    void release_room(std::size_t count);
    void wake_if_asleep();
    [[gnu::cold, gnu::noinline]] inline void wake_owner();

    static void recycle(lane& l);
    bool has_values() const;
    bool wait_until(const clock::time_point* deadline);
    bool sleep_until(const clock::time_point* deadline);

    const std::size_t capacity;
    const inbox_identity identity;
    // Whose fences order posts against close(), shared with the routers.
    const read_domain& domain;
    // Shared with the threads that post, which give their lane back when
    // they exit if the inbox is still alive.
    std::shared_ptr<inbox_lanes> all;
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

} // namespace detail

template <typename T>
class inbox : private detail::inbox_core {
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

    using inbox_core::close;
    using inbox_core::closed;
    using inbox_core::wait;
    using inbox_core::wait_for;

private:
    struct block;

    static detail::inbox_block* make_block() { return new block; }
    template <typename V>
    bool post_one(lane& l, V&& value, bool waits);
    template <typename V>
    static void put(lane& l, V&& value);
    [[gnu::cold, gnu::noinline]] static void next_block(lane& l);
    template <typename Router>
    std::size_t route_lane(lane& l, Router& router);
};

// ---------------------------------------------------------------------
// Mechanics.

namespace detail {

// A lane a thread holds.
struct held_lane {
    inbox_identity inbox;
    std::weak_ptr<void> owner;
    void* lane;
    std::atomic<bool>* in_use;
    std::atomic<unsigned>* holder_forks;
    held_lane* next;
};

// The lanes a thread holds, in every inbox it posted to: a list, which
// every file that posts compiles in less time than a vector.
struct held_lanes {
    held_lanes() = default;
    held_lanes(const held_lanes&) = delete;
    held_lanes& operator=(const held_lanes&) = delete;
    ~held_lanes()
    {
        while (first)
            delete std::exchange(first, first->next);
    }

    // The thread's lane in the inbox, or null.
    void* find(const inbox_identity& inbox) const
    {
        for (const held_lane* h = first; h; h = h->next) {
            if (h->inbox == inbox)
                return h->lane;
        }
        return nullptr;
    }

    // Forgets the lanes of inboxes destroyed since.
    void forget_expired()
    {
        for (held_lane** h = &first; *h;) {
            if ((*h)->owner.expired())
                delete std::exchange(*h, (*h)->next);
            else
                h = &(*h)->next;
        }
    }

    held_lane* first = nullptr;
};

// How many forks this process's line has been through, counted in each
// child. A lane records the count when its holder took it: the holder of
// a lane with an older count is a thread the fork left behind.
inline std::atomic<unsigned> forks_seen{0};

// Trivial, so that a destructor that posts at the thread's exit, whenever
// it runs, finds them still there.
inline thread_local held_lanes* lanes_held_here = nullptr;

// The lane a thread posted to last.
struct last_lane {
    inbox_identity inbox;
    void* lane;
};
inline thread_local last_lane last_used_lane{{nullptr, 0}, nullptr};

// Gives back the lanes of an exiting thread whose inboxes are alive. A
// post after this takes a lane again.
inline void give_back_lanes(void* held)
{
    const std::unique_ptr<held_lanes> released(static_cast<held_lanes*>(held));
    for (const held_lane* h = released->first; h; h = h->next) {
        if (const std::shared_ptr<void> alive = h->owner.lock())
            h->in_use->store(false, std::memory_order_release);
    }
    lanes_held_here = nullptr;
    last_used_lane = {{nullptr, 0}, nullptr};
}

#if defined(VESSA_POSIX_THREADS)
// In the child of a fork, which has only the thread that forked: its lanes
// are still held, the others' holders are gone.
inline void keep_own_lanes_in_child()
{
    const unsigned forks = forks_seen.fetch_add(1, std::memory_order_relaxed) + 1;
    if (!lanes_held_here)
        return;
    for (const held_lane* h = lanes_held_here->first; h; h = h->next) {
        if (const std::shared_ptr<void> alive = h->owner.lock())
            h->holder_forks->store(forks, std::memory_order_relaxed);
    }
}

// A key's destructor runs after the thread's thread_local destructors, and
// again if a later key's destructor posts.
inline pthread_key_t lanes_key()
{
    static const pthread_key_t key = [] {
        pthread_key_t made;
        if (pthread_key_create(&made, give_back_lanes) != 0) {
            std::fputs("vessa: pthread_key_create failed: no key for posting threads' lanes\n", stderr);
            std::abort();
        }
        pthread_atfork(nullptr, nullptr, keep_own_lanes_in_child);
        return made;
    }();
    return key;
}
#else
// Destroyed among the thread_local objects: a destructor that posts after
// it holds its lanes until the inbox is destroyed.
inline thread_local bool lanes_releaser_gone = false;
struct lanes_releaser {
    ~lanes_releaser()
    {
        if (lanes_held_here)
            give_back_lanes(lanes_held_here);
        lanes_releaser_gone = true;
    }
};
#endif

inline held_lanes& own_held_lanes()
{
    if (!lanes_held_here) {
        std::unique_ptr<held_lanes> made(new held_lanes);
#if defined(VESSA_POSIX_THREADS)
        if (pthread_setspecific(lanes_key(), made.get()) != 0)
            throw std::bad_alloc();
#else
        if (!lanes_releaser_gone) {
            static thread_local lanes_releaser releaser;
            static_cast<void>(releaser);
        }
#endif
        lanes_held_here = made.release();
    }
    return *lanes_held_here;
}

inline inbox_identity next_inbox_identity()
{
    static std::atomic<std::uint64_t> last{0};
    return {&last, last.fetch_add(1, std::memory_order_relaxed) + 1};
}

} // namespace detail

// One posting thread's values. Each side keeps its fields on a cache line
// of its own.
namespace detail {

// The next block of a lane, or of its spares, heads every block.
struct inbox_block {
    inbox_block* next = nullptr;
};

struct inbox_lane {
    // The poster's.
    alignas(64) inbox_block* tail = nullptr;
    // How many values the lane held before the tail block.
    std::size_t tail_first = 0;
    inbox_block* own_spares = nullptr;
    // Set while a post is under way: only close() reads it.
    std::atomic<bool> in_post{false};
    // detail::forks_seen when the holder took the lane.
    std::atomic<unsigned> holder_forks{0};

    // Shared: values posted so far, stored with release after each one.
    alignas(64) std::atomic<std::size_t> posted{0};
    // Held by a live thread.
    std::atomic<bool> in_use{true};
    // Routed blocks, pushed by the owner and taken by the poster.
    std::atomic<inbox_block*> spares{nullptr};
    // Set before the lane is published, never changed.
    inbox_lane* next_lane = nullptr;

    // The owner's.
    alignas(64) inbox_block* head = nullptr;
    std::size_t head_index = 0;
    std::size_t routed = 0;
    // What the route() under way routes up to.
    std::size_t route_until = 0;
};

// Every lane, pushed at the front and kept until the inbox's last user goes.
struct inbox_lanes {
    inbox_lanes() = default;
    inbox_lanes(const inbox_lanes&) = delete;
    inbox_lanes& operator=(const inbox_lanes&) = delete;
    ~inbox_lanes()
    {
        for (inbox_lane* l = first.load(std::memory_order_acquire); l;) {
            inbox_lane* const next = l->next_lane;
            delete l;
            l = next;
        }
    }

    std::atomic<inbox_lane*> first{nullptr};
};

// A post under way, from before it reads the closed flag to after its
// last touch of the inbox: close() waits for it to end. Announced before
// the closed flag is read; close() stores the flag before it reads the
// announcements, and the heavy fence on its side orders both.
class inbox_core::posting {
public:
    posting(lane& l, const read_domain& domain) : own(l)
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

inline inbox_core::inbox_core(std::size_t bound)
    : capacity(bound), identity(next_inbox_identity()),
      // Made before any post, so that it has decided whether posters fence
      // themselves.
      domain(read_domain::of_process()), all(std::make_shared<inbox_lanes>())
{
}

inline bool inbox_core::wait() { return wait_until(nullptr); }

template <typename Rep, typename Period>
bool inbox_core::wait_for(const std::chrono::duration<Rep, Period>& timeout)
{
    const clock::time_point now = clock::now();
    // A timeout that the clock cannot add, by far, is none.
    if (std::chrono::duration<double>(timeout) >= std::chrono::duration<double>(clock::time_point::max() - now) / 2)
        return wait_until(nullptr);
    const clock::time_point deadline = now + std::chrono::ceil<clock::duration>(timeout);
    return wait_until(&deadline);
}

// Pairs with posting: its store of the flag, then the heavy fence, then
// its reads of the announcements.
inline void inbox_core::close()
{
    is_closed.store(true, std::memory_order_seq_cst);
    room.word.fetch_add(1, std::memory_order_seq_cst);
    room.wake_all();
    domain.heavy_fence();
    // A post of a thread that a fork left behind never ends.
    const unsigned forks = forks_seen.load(std::memory_order_relaxed);
    for (lane* l = all->first.load(std::memory_order_acquire); l; l = l->next_lane) {
        while (l->in_post.load(std::memory_order_acquire) && l->holder_forks.load(std::memory_order_relaxed) == forks)
            std::this_thread::yield();
    }
    close_done.store(true, std::memory_order_seq_cst);
    // Pairs with the owner's fence in sleep_until: store, fence, load on
    // both sides.
    full_fence();
    if (owner.word.load(std::memory_order_relaxed) != 0)
        wake_owner();
}

inline inbox_core::lane& inbox_core::own_lane(inbox_block* (*make_block)())
{
    const last_lane& last = last_used_lane;
    if (usually(last.inbox == identity))
        return *static_cast<lane*>(last.lane);
    return join(make_block);
}

// The thread's lane in this inbox: one it holds, one a thread that exited
// gave back, or a new one.
inbox_core::lane& inbox_core::join(inbox_block* (*make_block)())
{
    held_lanes& held = own_held_lanes();
    lane* found = static_cast<lane*>(held.find(identity));
    if (!found) {
        held.forget_expired();
        // Made before a lane is taken, so that nothing throws after.
        std::unique_ptr<held_lane> entry(new held_lane{identity, all, nullptr, nullptr, nullptr, held.first});
        for (lane* l = all->first.load(std::memory_order_acquire); l && !found; l = l->next_lane) {
            bool free = false;
            if (l->in_use.compare_exchange_strong(free, true, std::memory_order_acquire))
                found = l;
        }
        if (found) {
            found->holder_forks.store(forks_seen.load(std::memory_order_relaxed), std::memory_order_relaxed);
        } else {
            std::unique_ptr<lane> made(new lane);
            made->holder_forks.store(forks_seen.load(std::memory_order_relaxed), std::memory_order_relaxed);
            made->tail = made->head = make_block();
            made->next_lane = all->first.load(std::memory_order_relaxed);
            while (!all->first.compare_exchange_weak(made->next_lane, made.get(), std::memory_order_seq_cst))
                ;
            found = made.release();
        }
        entry->lane = found;
        entry->in_use = &found->in_use;
        entry->holder_forks = &found->holder_forks;
        held.first = entry.release();
    }
    last_used_lane = {identity, found};
    return *found;
}

// Bounded only: takes room for one value, waiting for it if waits.
bool inbox_core::reserve(bool waits)
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
bool inbox_core::wait_for_room()
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

inline void inbox_core::release_room(std::size_t count)
{
    if (capacity == 0 || count == 0)
        return;
    queued.fetch_sub(count, std::memory_order_seq_cst);
    if (room_waiters.load(std::memory_order_seq_cst) != 0) {
        room.word.fetch_add(1, std::memory_order_seq_cst);
        room.wake_all();
    }
}

// Posts call it after storing their count. Pairs with the owner's heavy
// fence in sleep_until, which stands for the fence this side lacks: the
// owner stores its flag, passes the fence and reads the counts; the post
// stores its count and reads the flag, with only the compiler held back
// in between where membarrier() serves.
inline void inbox_core::wake_if_asleep()
{
    domain.reader_fence();
    if (!usually(owner.word.load(std::memory_order_relaxed) == 0))
        wake_owner();
}

// Only the post that takes the flag back makes the system call.
void inbox_core::wake_owner()
{
    if (owner.word.exchange(0, std::memory_order_acq_rel) != 0)
        owner.wake_all();
}

// The head block is routed: it becomes a spare, and its successor the head.
inline void inbox_core::recycle(lane& l)
{
    inbox_block* const done = l.head;
    l.head = done->next;
    l.head_index = 0;
    done->next = l.spares.load(std::memory_order_relaxed);
    while (!l.spares.compare_exchange_weak(done->next, done, std::memory_order_release, std::memory_order_relaxed))
        ;
}

inline bool inbox_core::has_values() const
{
    for (const lane* l = all->first.load(std::memory_order_acquire); l; l = l->next_lane) {
        if (l->posted.load(std::memory_order_acquire) != l->routed)
            return true;
    }
    return false;
}

// Looks a few times, yielding in between, before it sleeps: a post that
// comes meanwhile then makes no system call.
inline bool inbox_core::wait_until(const clock::time_point* deadline)
{
    constexpr unsigned looks_before_sleeping = 16;
    for (unsigned looks = 0;; ++looks) {
        if (has_values())
            return true;
        if (close_done.load(std::memory_order_acquire))
            return has_values();
        if (deadline && clock::now() >= *deadline)
            return false;
        if (looks < looks_before_sleeping)
            std::this_thread::yield();
        else if (sleep_until(deadline))
            return true;
    }
}

// Stores the flag that asks posts to wake the owner, then sleeps: first a
// short while, in which a post that missed the flag costs at most that
// long, then, past the heavy fence that makes every post see the flag or
// be seen, until woken or past deadline. Before the short sleep it looks a
// few more times, yielding: a count that was on its way as the flag was
// stored most often arrives then. Returns whether it saw values.
inline bool inbox_core::sleep_until(const clock::time_point* deadline)
{
    constexpr unsigned looks_after_flag = 16;
    constexpr std::chrono::microseconds first_sleep(50);
    const auto found = [this] { return has_values() || close_done.load(std::memory_order_acquire); };
    owner.word.store(1, std::memory_order_relaxed);
    for (unsigned look = 0; look < looks_after_flag && !found(); ++look)
        std::this_thread::yield();
    const clock::time_point short_deadline = clock::now() + first_sleep;
    const bool short_is_shorter = !deadline || short_deadline < *deadline;
    if (!found())
        owner.sleep_while(1, short_is_shorter ? &short_deadline : deadline);
    if (short_is_shorter && !found()) {
        domain.heavy_fence();
        if (!found())
            owner.sleep_while(1, deadline);
    }
    owner.word.store(0, std::memory_order_relaxed);
    return has_values();
}

inline void parking::sleep_while(std::uint32_t expected, const clock::time_point* deadline)
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

inline void parking::wake_all()
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

} // namespace detail

template <typename T>
struct inbox<T>::block : detail::inbox_block {
    static constexpr std::size_t values = batch<T>::capacity;

    void* slot_address(std::size_t index) { return storage + index * sizeof(T); }
    T* slot(std::size_t index) { return std::launder(reinterpret_cast<T*>(slot_address(index))); }

    alignas(T) unsigned char storage[values * sizeof(T)];
};

template <typename T>
inbox<T>::inbox() : inbox(0)
{
}

template <typename T>
inbox<T>::inbox(std::size_t bound) : inbox_core(bound)
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
            static_cast<block*>(l->head)->slot(l->head_index++)->~T();
        }
        for (detail::inbox_block* b : {l->head, l->own_spares, l->spares.load(std::memory_order_acquire)}) {
            while (b) {
                detail::inbox_block* const next = b->next;
                delete static_cast<block*>(b);
                b = next;
            }
        }
    }
}

template <typename T>
bool inbox<T>::post(const T& value)
{
    return post_one(own_lane(make_block), value, true);
}

template <typename T>
bool inbox<T>::post(T&& value)
{
    return post_one(own_lane(make_block), std::move(value), true);
}

template <typename T>
bool inbox<T>::try_post(const T& value)
{
    return post_one(own_lane(make_block), value, false);
}

template <typename T>
bool inbox<T>::try_post(T&& value)
{
    return post_one(own_lane(make_block), std::move(value), false);
}

// One value at a time, each published and announced on its own: an input
// range that waits between values holds up neither the owner nor close().
template <typename T>
template <typename InputIt>
std::size_t inbox<T>::post(InputIt first, InputIt last)
{
    std::size_t count = 0;
    if (first == last)
        return count;
    lane& l = own_lane(make_block);
    for (; first != last && post_one(l, *first, true); ++first)
        ++count;
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

// The posting side.

// A bounded post takes room first, waiting for it inside the announcement.
// The value stays out of every call that is not inlined, so that a small
// one is never stored on the stack on the way.
template <typename T>
template <typename V>
bool inbox<T>::post_one(lane& l, V&& value, bool waits)
{
    const posting scope(l, domain);
    if (capacity != 0 && !reserve(waits))
        return false;
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
    wake_if_asleep();
    return true;
}

// Writes the value into the lane and publishes it. The poster, the count's
// only writer, reads it back and finds the slot from it: a post stores
// the value, the count and its post-under-way flag twice, nothing else.
// Those stores queue behind the count's whenever the owner has just read
// its cache line: the fewer, the later the post stalls.
template <typename T>
template <typename V>
void inbox<T>::put(lane& l, V&& value)
{
    const std::size_t count = l.posted.load(std::memory_order_relaxed);
    if (count - l.tail_first == block::values)
        next_block(l);
    ::new (static_cast<block*>(l.tail)->slot_address(count - l.tail_first)) T(std::forward<V>(value));
    l.posted.store(count + 1, std::memory_order_release);
}

// Links a spare block, or a new one, after the full tail.
template <typename T>
void inbox<T>::next_block(lane& l)
{
    if (!l.own_spares)
        l.own_spares = l.spares.exchange(nullptr, std::memory_order_acquire);
    detail::inbox_block* added = l.own_spares;
    if (added)
        l.own_spares = added->next;
    else
        added = new block;
    added->next = nullptr;
    l.tail->next = added;
    l.tail = added;
    l.tail_first += block::values;
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
            T* const first = static_cast<block*>(l.head)->slot(l.head_index);
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
        const T* const first = static_cast<block*>(l.head)->slot(l.head_index);
        router.distribute_batch(first, first + run);
        count += run;
    }
    return count;
}

} // namespace vessa

#endif
