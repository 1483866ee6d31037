// vessa: a router that many threads share, whose routing takes no lock.
//
// concurrent_router<T> routes as router<T> does, in the same order and by
// the same rules for changes that a destination makes while it is offered
// a value, and any number of threads may route through one at once:
//
//     vessa::concurrent_router<event> events;
//     auto id = events.add_destination([](const event& e) { return e.kind == kind::key; }, 2);
//     events.set_default_destination([](const event&) { return true; });
//     // from any thread:
//     events.distribute(e);
//     // from any thread, when the destination's state is about to go:
//     events.remove_destination_and_wait(id);
//
// Guarantees:
//  1. Routing never waits. Per value or per range it takes no lock, makes
//     no atomic read-modify-write, and writes nothing that another routing
//     thread reads or writes: one store to the thread's own record on the
//     way in and one on the way out. Changes (add, remove, set the default)
//     serialize among themselves on a mutex.
//  2. A destination is offered the values whose routing begins after
//     add_destination returns, in any thread.
//  3. No routing call that begins after remove_destination returns offers
//     the destination a value, in any thread, and a walk under way that has
//     not reached it yet skips it. A call of it already running in another
//     thread may still run when remove_destination returns;
//     remove_destination_and_wait returns only once no call of it is
//     running or can start, and its copy is destroyed.
//  4. A value nobody took goes to the default installed when its walk ends.
//  5. A destination that changes the router, or routes through it, while
//     it is offered a value sees what it would see with router<T> in the
//     thread that makes the change.
//  6. Each destination's copy is destroyed exactly once, once no thread can
//     reach it: on a thread that changes the router (every few dozen
//     changes, one frees what earlier ones retired and no routing call can
//     still be in), that calls synchronize or remove_destination_and_wait,
//     or that destroys the router. When the destructor returns, every copy
//     the router held is destroyed.
//  7. Destinations are called from many threads at once: their own state
//     is theirs to protect. The router's state is race-free, as
//     ThreadSanitizer sees it too.
//  8. Destroying the router while another thread uses it is not allowed.
//
// synchronize() and remove_destination_and_wait() wait for routing calls
// in other threads to return; on a thread inside a routing call of the
// same router they would wait for themselves, and throw std::logic_error
// instead. Inside a routing call of another router they wait.
//
// Lifetimes, as router<T> has them, each a change like any other:
//  - add_scoped_destination returns a scoped_destination, which removes
//    the destination when destroyed or assigned another, and waits as
//    remove_destination_and_wait does, since what the destination calls
//    into is about to go. Ended on a thread inside a routing call of this
//    router, or in the destructor of one of its copies, it removes without
//    waiting instead of throwing: a call of the destination may then still
//    run in another thread. It may outlive the router.
//  - A destination made with vessa::tracking(weak, d) is called only while
//    its object can be locked, and holds the lock for each call. Once the
//    object is gone it refuses without being called; the next change
//    unlists it, and its copy is destroyed after the grace period, as a
//    removed one's is.
//  - block(id) publishes an array in which a stand-in of the destination's
//    own, refusing everything, takes its place, and overwrites it in the
//    arrays that walks may still be in; unblock(id) puts it back. Blocks
//    nest. Routing checks nothing for either.
//
// How: the listed destinations are an immutable array published through
// one pointer and walked inside a read section (read_sections.hpp). A
// change builds a new array and publishes it; a removal also overwrites
// the destination, in the arrays that walks may still be in, with a stand-in
// that refuses everything, so those walks skip it without a check. What a
// change replaced is freed once every routing call that could read it has
// returned.
#ifndef VESSA_CONCURRENT_ROUTER_HPP
#define VESSA_CONCURRENT_ROUTER_HPP

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <vessa/batch.hpp>
#include <vessa/destination.hpp>
#include <vessa/destination_copy.hpp>
#include <vessa/listing_order.hpp>
#include <vessa/read_sections.hpp>
#include <vessa/scoped_destination.hpp>
#include <vessa/tracking.hpp>

namespace vessa {

template <typename T>
class concurrent_router {
public:
    concurrent_router();
    ~concurrent_router();

    concurrent_router(const concurrent_router&) = delete;
    concurrent_router& operator=(const concurrent_router&) = delete;

    // As router<T>: one copy (or move) of a destination class or of any
    // callable bool(const T&); higher priorities are offered values first.
    template <typename D>
    destination_id add_destination(D&& d, unsigned priority = 1);

    // As add_destination, and returns what removes it when destroyed or
    // assigned another, waiting as remove_destination_and_wait does but on
    // a thread inside a routing call of this router (see Lifetimes).
    template <typename D>
    scoped_destination add_scoped_destination(D&& d, unsigned priority = 1);

    // Unlists the destination and returns true, or returns false when id
    // names nothing listed here. Does not wait (see guarantee 3).
    bool remove_destination(destination_id id);

    // As router<T>: the destination is offered nothing until as many
    // unblocks as blocks have been made. Both return whether id names a
    // listed destination. Neither waits: a call already running in
    // another thread when block returns may still run.
    bool block(destination_id id);
    bool unblock(destination_id id);

    // As remove_destination, then waits until no call of the destination
    // is running or can start in any thread, and its copy is destroyed.
    // Throws std::logic_error inside a routing call of this router.
    bool remove_destination_and_wait(destination_id id);

    template <typename D>
    void set_default_destination(D&& d);

    void distribute(const T& value);

    template <typename Iter, typename = std::enable_if_t<detail::is_iterator_over<Iter, T>::value>>
    void distribute(Iter it);

    // Every element in order, each by the rules of distribute(it); a
    // change takes effect from the next element.
    template <typename InputIt>
    void distribute(InputIt first, InputIt last);

    // As router<T>::distribute_batch. A removal made by another thread
    // stops the destination no later than the next chunk.
    void distribute_batch(const T* first, const T* last);
    template <typename Contiguous>
    void distribute_batch(const Contiguous& values);

    // Returns once every routing call that began before it has returned,
    // and every copy that nothing lists any more has been destroyed.
    // Throws std::logic_error inside a routing call of this router.
    void synchronize();

private:
    using entry = std::atomic<destination<T>*>;
    class walk_list;
    struct listed_destination;
    struct retired;
    struct batch_frame;
    class scope_link;

    void distribute_chunk(batch<T>& chunk, batch_frame& frame);
    static bool offer_listed(const T& value, const entry* current, const entry* end);
    void offer_default(const T& value) const;

    // The rare paths: changes, waiting, and freeing what they replaced.
    [[gnu::cold, gnu::noinline]] void publish(std::vector<listed_destination>& next, walk_list* next_list,
                                              std::unique_ptr<destination<T>> retired_copy) noexcept;
    [[gnu::cold, gnu::noinline]] void replace_in_walks(const destination<T>* met, destination<T>* instead);
    [[gnu::cold, gnu::noinline]] void free_retired(bool wait);
    void refuse_to_wait_inside(const char* operation) const;
    // Why a wait on this thread would wait for itself, or null.
    const char* waiting_waits_for_itself() const;

    template <typename Change>
    bool change_listed(destination_id id, Change change);
    // Under writer_mutex.
    std::size_t listed_index(destination_id id) const;
    void unlist(std::size_t index);
    [[gnu::cold, gnu::noinline]] void put_stand_in(std::size_t index);
    [[gnu::cold, gnu::noinline]] void take_stand_in_away(std::size_t index);
    // Every change begins by unlisting the tracked destinations whose
    // object is gone.
    void unlist_expired();
    [[gnu::cold, gnu::noinline]] void unlist_expired_copies();

    // Read by every routing call.
    std::atomic<walk_list*> published{nullptr};
    std::atomic<destination<T>*> default_target{nullptr};
    detail::read_domain readers;

    // Changes only, under writer_mutex.
    std::mutex writer_mutex;
    std::vector<listed_destination> listed;
    std::unique_ptr<destination<T>> default_copy;
    std::vector<retired> retired_since;
    // What the last free could not free yet.
    std::size_t left_retired = 0;
    static constexpr std::size_t changes_per_free = 32;
    bool default_tracked = false;
    // Tracked copies listed or installed as the default.
    std::size_t tracked_count = 0;
    // Made by the first add_scoped_destination; its end disarms them all.
    std::shared_ptr<scope_link> scopes;
    // Held while freeing, so that a waiter knows the frees it waits for
    // are over.
    std::mutex freeing_mutex;
    static inline thread_local const concurrent_router* freeing_on_this_thread = nullptr;
};

// ---------------------------------------------------------------------
// Mechanics.

// What every routing call walks: a count and the destinations, in one
// allocation. Immutable but for removed entries, which become the stand-in.
template <typename T>
class concurrent_router<T>::walk_list {
public:
    static walk_list* make(const std::vector<listed_destination>& order)
    {
        void* const storage = ::operator new(sizeof(walk_list) + order.size() * sizeof(entry));
        walk_list* const list = new (storage) walk_list(order.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            new (list->begin() + i) entry(order[i].walked());
        return list;
    }
    static void free(walk_list* list) noexcept
    {
        if (list)
            ::operator delete(list);
    }

    entry* begin() { return reinterpret_cast<entry*>(this + 1); }
    const entry* begin() const { return reinterpret_cast<const entry*>(this + 1); }
    const entry* end() const { return begin() + count; }

private:
    explicit walk_list(std::size_t entries) : count(entries) {}
    std::size_t count;
};
static_assert(std::is_trivially_destructible_v<std::atomic<int*>>, "walk_list frees its entries unrun");

// The writers' own view of a listed destination.
template <typename T>
struct concurrent_router<T>::listed_destination {
    destination<T>* target;
    unsigned priority;
    std::uint64_t serial;
    // target is a detail::expiring<T>.
    bool tracked;
    unsigned blocks;
    // Owned; walked in target's place while it is blocked.
    destination<T>* stand_in;

    destination<T>* walked() const { return stand_in ? stand_in : target; }
};

// What a change replaced, kept until no routing call can read it.
template <typename T>
struct concurrent_router<T>::retired {
    std::uint64_t epoch;
    walk_list* list;
    std::unique_ptr<destination<T>> copy;
};

// The destination a batch walk is offering a chunk, in a place this
// thread's removals can reach: batches check it, and a removal made from
// inside the batch replaces it with the stand-in. Other threads' removals
// reach the walk from the next chunk on.
template <typename T>
struct concurrent_router<T>::batch_frame {
    batch_frame(const concurrent_router* routed) : router(routed), outer(innermost) { innermost = this; }
    ~batch_frame() { innermost = outer; }
    batch_frame(const batch_frame&) = delete;
    batch_frame& operator=(const batch_frame&) = delete;

    const concurrent_router* router;
    destination<T>* offered = nullptr;
    batch_frame* outer;
    static inline thread_local batch_frame* innermost = nullptr;
};

template <typename T>
detail::refusing_stand_in<T> stand_in_for_removed;

// Removes for the scoped destinations of one router. Inside a routing call
// of the router, or the destructor of one of its copies, a wait would wait
// for itself: removing is all it can do there.
template <typename T>
class concurrent_router<T>::scope_link final : public detail::scope_owner {
public:
    explicit scope_link(concurrent_router& owning) : owner(owning) {}
    void remove_scoped(destination_id id) override
    {
        if (owner.waiting_waits_for_itself())
            owner.remove_destination(id);
        else
            owner.remove_destination_and_wait(id);
    }

private:
    concurrent_router& owner;
};

template <typename T>
concurrent_router<T>::concurrent_router()
{
    published.store(walk_list::make({}), std::memory_order_release);
}

template <typename T>
concurrent_router<T>::~concurrent_router()
{
    // First: a destination destroyed below may hold a scoped destination.
    scopes.reset();
    for (retired& r : retired_since)
        walk_list::free(r.list);
    walk_list::free(published.load(std::memory_order_relaxed));
    for (const listed_destination& d : listed) {
        delete d.target;
        delete d.stand_in;
    }
}

template <typename T>
template <typename D>
destination_id concurrent_router<T>::add_destination(D&& d, unsigned priority)
{
    std::unique_ptr<destination<T>> copy(detail::new_destination<T>(std::forward<D>(d)));
    const std::uint64_t serial = destination_id::next_serial();
    const bool tracked = detail::is_tracking<std::decay_t<D>>::value;
    {
        const std::lock_guard<std::mutex> lock(writer_mutex);
        unlist_expired();
        // Every allocation comes first, so a failure leaves all as it was.
        retired_since.reserve(retired_since.size() + 1);
        std::vector<listed_destination> next;
        next.reserve(listed.size() + 1);
        next = listed;
        detail::add_in_order(next, listed_destination{copy.get(), priority, serial, tracked, 0, nullptr},
                             [](const auto& a, const auto& b) { return a.priority < b.priority; });
        walk_list* const next_list = walk_list::make(next);
        copy.release();
        publish(next, next_list, nullptr);
        tracked_count += tracked;
    }
    free_retired(false);
    return destination_id(serial);
}

template <typename T>
template <typename D>
scoped_destination concurrent_router<T>::add_scoped_destination(D&& d, unsigned priority)
{
    // Before adding: a failure here must not leave it listed unscoped.
    std::shared_ptr<scope_link> link;
    {
        const std::lock_guard<std::mutex> lock(writer_mutex);
        if (!scopes)
            scopes = std::make_shared<scope_link>(*this);
        link = scopes;
    }
    return scoped_destination(std::move(link), add_destination(std::forward<D>(d), priority));
}

template <typename T>
bool concurrent_router<T>::remove_destination(destination_id id)
{
    return change_listed(id, [this](std::size_t index) { unlist(index); });
}

template <typename T>
bool concurrent_router<T>::block(destination_id id)
{
    return change_listed(id, [this](std::size_t index) {
        if (listed[index].blocks == 0)
            put_stand_in(index);
        ++listed[index].blocks;
    });
}

template <typename T>
bool concurrent_router<T>::unblock(destination_id id)
{
    return change_listed(id, [this](std::size_t index) {
        if (listed[index].blocks == 1)
            take_stand_in_away(index);
        if (listed[index].blocks != 0)
            --listed[index].blocks;
    });
}

// A change of what id names: under writer_mutex, after the expired
// tracked destinations are unlisted, change(index) if id is listed; then
// what changes retired may be freed. Returns whether id is listed.
template <typename T>
template <typename Change>
bool concurrent_router<T>::change_listed(destination_id id, Change change)
{
    {
        const std::lock_guard<std::mutex> lock(writer_mutex);
        unlist_expired();
        const std::size_t index = listed_index(id);
        if (index == listed.size())
            return false;
        change(index);
    }
    free_retired(false);
    return true;
}

template <typename T>
bool concurrent_router<T>::remove_destination_and_wait(destination_id id)
{
    refuse_to_wait_inside("remove_destination_and_wait");
    if (!remove_destination(id))
        return false;
    free_retired(true);
    return true;
}

template <typename T>
template <typename D>
void concurrent_router<T>::set_default_destination(D&& d)
{
    std::unique_ptr<destination<T>> copy(detail::new_destination<T>(std::forward<D>(d)));
    const bool tracked = detail::is_tracking<std::decay_t<D>>::value;
    {
        const std::lock_guard<std::mutex> lock(writer_mutex);
        unlist_expired();
        retired_since.reserve(retired_since.size() + 1);
        default_target.store(copy.get(), std::memory_order_release);
        default_copy.swap(copy);
        retired_since.push_back({readers.retire_epoch(), nullptr, std::move(copy)});
        tracked_count += tracked;
        tracked_count -= std::exchange(default_tracked, tracked);
    }
    free_retired(false);
}

template <typename T>
void concurrent_router<T>::synchronize()
{
    refuse_to_wait_inside("synchronize");
    free_retired(true);
}

template <typename T>
inline void concurrent_router<T>::distribute(const T& value)
{
    const detail::read_section section(readers);
    const walk_list* const list = published.load(std::memory_order_acquire);
    if (!offer_listed(value, list->begin(), list->end()))
        offer_default(value);
}

template <typename T>
template <typename Iter, typename>
void concurrent_router<T>::distribute(Iter it)
{
    distribute(*it);
}

template <typename T>
template <typename InputIt>
inline void concurrent_router<T>::distribute(InputIt first, InputIt last)
{
    const detail::read_section section(readers);
    // The bounds stay in locals while the list stays the same: one load
    // and a compare per element to see a change.
    const walk_list* list = published.load(std::memory_order_acquire);
    const entry* begin = list->begin();
    const entry* end = list->end();
    for (; first != last; ++first) {
        if (const walk_list* const now = published.load(std::memory_order_acquire); now != list) {
            list = now;
            begin = list->begin();
            end = list->end();
        }
        const T& value = *first;
        if (!offer_listed(value, begin, end))
            offer_default(value);
    }
}

template <typename T>
void concurrent_router<T>::distribute_batch(const T* first, const T* last)
{
    const detail::read_section section(readers);
    batch_frame frame(this);
    while (first != last) {
        const std::size_t count = std::min(static_cast<std::size_t>(last - first), batch<T>::capacity);
        batch<T> chunk(first, count);
        distribute_chunk(chunk, frame);
        first += count;
    }
}

template <typename T>
template <typename Contiguous>
void concurrent_router<T>::distribute_batch(const Contiguous& values)
{
    const T* const first = std::data(values);
    distribute_batch(first, first + std::size(values));
}

template <typename T>
void concurrent_router<T>::distribute_chunk(batch<T>& chunk, batch_frame& frame)
{
    const walk_list* const list = published.load(std::memory_order_acquire);
    chunk.offered = &frame.offered;
    for (const entry* current = list->begin(); current != list->end() && !chunk.empty(); ++current) {
        frame.offered = current->load(std::memory_order_acquire);
        frame.offered->distribute_batch(chunk);
    }
    frame.offered = default_target.load(std::memory_order_acquire);
    if (frame.offered && !chunk.empty())
        frame.offered->distribute_batch(chunk);
}

// Acquire: an entry of an array that a walk is already in may be
// overwritten with a block's stand-in made after the walk began. On x86
// the load is the plain move a relaxed one is.
template <typename T>
bool concurrent_router<T>::offer_listed(const T& value, const entry* current, const entry* const end)
{
    for (; current != end; ++current) {
        if (current->load(std::memory_order_acquire)->distribute(value))
            return true;
    }
    return false;
}

// Read after the walk: the walk may have replaced the default.
template <typename T>
void concurrent_router<T>::offer_default(const T& value) const
{
    if (destination<T>* const fallback = default_target.load(std::memory_order_acquire))
        fallback->distribute(value);
}

// Under writer_mutex, with room reserved in retired_since: next and
// next_list become the list; the list they replace, and retired_copy if
// any, wait until no routing call can read them.
template <typename T>
void concurrent_router<T>::publish(std::vector<listed_destination>& next, walk_list* next_list,
                                   std::unique_ptr<destination<T>> retired_copy) noexcept
{
    walk_list* const replaced = published.exchange(next_list, std::memory_order_acq_rel);
    listed.swap(next);
    retired_since.push_back({readers.retire_epoch(), replaced, std::move(retired_copy)});
}

// Under writer_mutex: walks under way meet instead where they would have
// met met, in every list they may still be in, and so does a batch of this
// thread that is offering met a chunk now.
template <typename T>
void concurrent_router<T>::replace_in_walks(const destination<T>* met, destination<T>* instead)
{
    for (retired& r : retired_since) {
        if (!r.list)
            continue;
        for (entry* e = r.list->begin(); e != r.list->end(); ++e) {
            if (e->load(std::memory_order_relaxed) == met)
                e->store(instead, std::memory_order_release);
        }
    }
    for (batch_frame* frame = batch_frame::innermost; frame; frame = frame->outer) {
        if (frame->router == this && frame->offered == met)
            frame->offered = instead;
    }
}

template <typename T>
std::size_t concurrent_router<T>::listed_index(destination_id id) const
{
    const auto found = std::find_if(listed.begin(), listed.end(),
                                    [id](const listed_destination& d) { return d.serial == id.serial; });
    return id.serial == 0 ? listed.size() : static_cast<std::size_t>(found - listed.begin());
}

// Publishes the list without listed[index], retires its copy and its
// stand-in if blocked, and has the walks under way skip it.
template <typename T>
void concurrent_router<T>::unlist(std::size_t index)
{
    const listed_destination removed = listed[index];
    retired_since.reserve(retired_since.size() + 2);
    std::vector<listed_destination> next(listed);
    detail::erase_in_order(
        next, index, [](const auto& a, const auto& b) { return a.priority < b.priority; },
        [](const auto& a, const auto& b) { return a.serial < b.serial; });
    walk_list* const next_list = walk_list::make(next);
    publish(next, next_list, std::unique_ptr<destination<T>>(removed.target));
    if (removed.stand_in)
        retired_since.push_back({readers.retire_epoch(), nullptr, std::unique_ptr<destination<T>>(removed.stand_in)});
    replace_in_walks(removed.target, &stand_in_for_removed<T>);
    tracked_count -= removed.tracked;
}

// Blocks listed[index]: a stand-in of its own takes its place in a new
// list and in the walks under way, so that unblocking can tell its entries
// from those of removed destinations.
template <typename T>
void concurrent_router<T>::put_stand_in(std::size_t index)
{
    std::unique_ptr<destination<T>> stand_in(new detail::refusing_stand_in<T>);
    retired_since.reserve(retired_since.size() + 1);
    std::vector<listed_destination> next(listed);
    next[index].stand_in = stand_in.get();
    walk_list* const next_list = walk_list::make(next);
    publish(next, next_list, nullptr);
    replace_in_walks(listed[index].target, stand_in.release());
}

template <typename T>
void concurrent_router<T>::take_stand_in_away(std::size_t index)
{
    retired_since.reserve(retired_since.size() + 1);
    std::vector<listed_destination> next(listed);
    destination<T>* const stand_in = std::exchange(next[index].stand_in, nullptr);
    walk_list* const next_list = walk_list::make(next);
    publish(next, next_list, std::unique_ptr<destination<T>>(stand_in));
    replace_in_walks(stand_in, listed[index].target);
}

template <typename T>
inline void concurrent_router<T>::unlist_expired()
{
    if (tracked_count != 0)
        unlist_expired_copies();
}

template <typename T>
void concurrent_router<T>::unlist_expired_copies()
{
    const auto expired = [](const destination<T>* d) { return static_cast<const detail::expiring<T>*>(d)->expired(); };
    // Serials first: each unlisting reorders the list.
    std::vector<std::uint64_t> gone;
    for (const listed_destination& d : listed) {
        if (d.tracked && expired(d.target))
            gone.push_back(d.serial);
    }
    for (const std::uint64_t serial : gone)
        unlist(listed_index(destination_id(serial)));
    if (default_tracked && expired(default_copy.get())) {
        retired_since.reserve(retired_since.size() + 1);
        default_target.store(nullptr, std::memory_order_release);
        retired_since.push_back({readers.retire_epoch(), nullptr, std::move(default_copy)});
        default_tracked = false;
        --tracked_count;
    }
}

// Frees what no routing call can read any more: what was retired before
// the oldest reader entered, or, waiting, everything retired so far.
// Destructors run with no lock of the router's held but freeing_mutex, so
// that they may change the router; a free that finds another under way
// leaves the work to it.
template <typename T>
void concurrent_router<T>::free_retired(bool wait)
{
    std::unique_lock<std::mutex> freeing(freeing_mutex, std::defer_lock);
    std::uint64_t before;
    if (wait) {
        std::uint64_t last_retired;
        {
            const std::lock_guard<std::mutex> lock(writer_mutex);
            last_retired = readers.retire_epoch();
        }
        readers.wait_for_readers(last_retired);
        before = last_retired + 1;
        freeing.lock();
    } else {
        // A change made by a destructor that this thread runs below: the
        // free under way holds freeing_mutex, and what is left waits for
        // the next.
        if (freeing_on_this_thread == this)
            return;
        {
            // Learning the oldest reader costs a barrier on every routing
            // thread, an interrupt each: paid once per so many changes.
            const std::lock_guard<std::mutex> lock(writer_mutex);
            if (retired_since.size() < left_retired + changes_per_free)
                return;
        }
        if (!freeing.try_lock())
            return;
        before = readers.oldest_reader();
    }
    std::vector<retired> freed;
    {
        const std::lock_guard<std::mutex> lock(writer_mutex);
        const auto kept = std::stable_partition(retired_since.begin(), retired_since.end(),
                                                [before](const retired& r) { return r.epoch >= before; });
        freed.assign(std::make_move_iterator(kept), std::make_move_iterator(retired_since.end()));
        retired_since.erase(kept, retired_since.end());
        left_retired = retired_since.size();
    }
    const concurrent_router* const outer_freeing = freeing_on_this_thread;
    freeing_on_this_thread = this;
    for (retired& r : freed) {
        walk_list::free(r.list);
        r.copy.reset();
    }
    freeing_on_this_thread = outer_freeing;
}

template <typename T>
const char* concurrent_router<T>::waiting_waits_for_itself() const
{
    return readers.inside()                 ? "inside a routing call of the same router"
           : freeing_on_this_thread == this ? "by the destructor of one of its destinations"
                                            : nullptr;
}

template <typename T>
void concurrent_router<T>::refuse_to_wait_inside(const char* operation) const
{
    if (const char* const where = waiting_waits_for_itself())
        throw std::logic_error(std::string("vessa::concurrent_router::") + operation + ": called " + where
                               + ", it would wait for itself");
}

} // namespace vessa

#endif
