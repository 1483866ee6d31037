// vessa: a router that many threads share, whose routing takes no lock.
//
// concurrent_router<T> routes as router<T> does, in the same order and by
// the same rules for changes that a destination makes while it is offered
// a value, and any number of threads may route through one at once. Its
// calls are router_front's (router_front.hpp), as router<T>'s are, plus
// remove_destination_and_wait and synchronize:
//
//     vessa::concurrent_router<event> events;
//     auto id = events.add_destination([](const event& e) { return e.kind == kind::key; }, 2);
//     events.set_default_destination([](const event&) { return true; });
//     // from any thread:
//     vessa::distribution d = events.distribute(e);  // d.result, d.taker
//     // from any thread, when the destination's state is about to go:
//     events.remove_destination_and_wait(id);
//
// The listing order and the exception policy are fixed at construction.
// Routing threads read the exception_handler without a lock: it may be
// called from many threads at once, and must be safe for that.
//
// Questions (size, contains, priority, blocked, has_default) take the
// mutex that changes take. Each answer is exact for one moment between
// the call and its return, and another thread's change may make it stale
// at once: it serves to inspect, not to decide a change that races with
// others. Nor does it speak of routing under way: once contains(id) is
// false, a call of the destination that began before may still run, as
// after remove_destination.
//
// Guarantees:
//  1. Routing never waits. Per value or per range it takes no lock, makes
//     no atomic read-modify-write, and writes nothing that another routing
//     thread reads or writes: one store to the thread's own record on the
//     way in and one on the way out. Changes (add, remove, set_priority,
//     block, set or remove the default, clear) and questions serialize
//     among themselves on a mutex.
//  2. A destination is offered the values whose routing begins after
//     add_destination returns, in any thread.
//  3. No routing call that begins after remove_destination returns offers
//     the destination a value, in any thread, and a walk under way that has
//     not reached it yet skips it. A call of it already running in another
//     thread may still run when remove_destination returns;
//     remove_destination_and_wait returns only once no call of it is
//     running or can start, and its copy is destroyed. clear() removes
//     every destination so; set_priority leaves the walks under way in the
//     order they began with.
//  4. A value nobody took goes to the default installed when its walk ends.
//  5. A destination that changes the router, or routes through it, while
//     it is offered a value sees what it would see with router<T> in the
//     thread that makes the change.
//  6. Each destination's copy is destroyed exactly once, once no thread can
//     reach it: on a thread that changes the router (at once when no other
//     thread has routed through it since its last grace period; otherwise
//     every few dozen changes, one frees what earlier ones unlisted and no
//     routing call can still be in), that calls synchronize or
//     remove_destination_and_wait, or that destroys the router. When the
//     destructor returns, every copy the router held is destroyed.
//  7. Destinations are called from many threads at once: their own state
//     is theirs to protect. The router's state is race-free, as
//     ThreadSanitizer sees it too.
//  8. Destroying the router while another thread uses it is not allowed.
//  9. A change that throws (std::bad_alloc, or the destination's copy)
//     leaves the router as it was; waiting and freeing allocate nothing,
//     so remove_destination_and_wait and synchronize throw nothing but
//     std::logic_error.
//
// synchronize() and remove_destination_and_wait() wait for routing calls
// in other threads to return; on a thread inside a routing call of the
// same router, or in the destructor of one of its copies, they would wait
// for themselves, and throw std::logic_error instead. Inside a routing
// call of another router they wait, unless the thread they wait for is
// itself waiting for this one (two threads each inside a routing call,
// each waiting for the other's router): then one of them, or both, throws
// std::logic_error instead of waiting forever; a wait so refused, or
// given up by a scoped destination's end, leaves the router as shared as
// it was. A cycle through three or more threads is not detected: do not
// wait inside a routing call for a router whose destinations may wait in
// turn. A wait here ends once a free of this router under way in another
// thread is over, as the free may destroy what it waits for; when a
// destructor that free runs waits in turn for a router the waiting thread
// is inside (ending a scoped destination of it, say), the wait here is
// refused the same way.
//
// A routing call of another router made inside a destination holds up
// that router's waits alone, down to three routers deep; deeper, until it
// returns, it holds up every router's waits, and may have one of two
// threads that wait on each other's routers refused though neither is
// inside the other's.
//
// Lifetimes, as router<T> has them, each a change like any other:
//  - add_scoped_destination returns a scoped_destination, which removes
//    the destination when destroyed or assigned another, and waits as
//    remove_destination_and_wait does, since what the destination calls
//    into is about to go; it waits even when the destination was removed
//    already. Ended where a wait would wait for itself (see above), it
//    removes without waiting instead of throwing: a call of the
//    destination may then still run in another thread. It may outlive the
//    router.
//  - A destination made with vessa::tracking(weak, d) is called only while
//    its object can be locked, and holds the lock for each call. Once the
//    object is gone it refuses without being called; the next change
//    unlists it, and its copy is destroyed after the grace period, as a
//    removed one's is.
//  - block(id) overwrites the destination's entry, in the array walks read
//    and in those they may still be in, with a stand-in of its own that
//    refuses everything; unblock(id) puts it back. Blocks nest. Routing
//    checks nothing for either. The end of a block_scoped unblocks once,
//    without waiting.
//
// Programs and processes: routing from a static or thread_local
// destructor keeps every guarantee while the router lives. Routers and ids
// made in one shared object and used from another, each with a copy of
// this header of its own (hidden symbols), keep them too. In the child of
// a fork, the threads that did not survive it are no longer waited for;
// a change that another thread was making at the fork leaves the router's
// mutex held in the child, as with any mutex: fork with no change under
// way, or use the router only in the parent. A shared object with a copy
// of its own must stay loaded while a thread that routed through its code
// lives, as that thread's record is released at its exit by the copy's
// code: never dlclose it, or link it with -Wl,-z,nodelete. See
// read_sections.hpp for membarrier.
//
// How: the listed destinations are an array published through one pointer
// and walked inside a read section (read_sections.hpp). Adding appends in
// place while the array has room and the new destination's place in the
// order is the last; removing overwrites the destination in place with a
// stand-in that refuses everything, which walks under way then skip
// without a check, while the order of the rest stays the one a new array
// would have; an array is built anew otherwise, or once stand-ins, which
// walks would call, pass eight and an eighth of the listed. A new array
// reuses the largest one whose grace period is over, so that changes
// allocate nothing once arrays are large enough. What a change unlisted is
// destroyed at once when no thread but the one changing has routed through
// the router since its last grace period, and otherwise once every routing
// call that could read it has returned. Waiters that need a grace period at
// the same moment share it.
#ifndef VESSA_CONCURRENT_ROUTER_HPP
#define VESSA_CONCURRENT_ROUTER_HPP

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <vessa/batch.hpp>
#include <vessa/destination.hpp>
#include <vessa/destination_copy.hpp>
#include <vessa/exception_handler.hpp>
#include <vessa/listing_order.hpp>
#include <vessa/read_sections.hpp>
#include <vessa/router_front.hpp>
#include <vessa/scoped_destination.hpp>
#include <vessa/tracking.hpp>

namespace vessa {

template <typename T>
class concurrent_router : public router_front<concurrent_router<T>, T> {
public:
    // Lists in heap order and lets exceptions propagate.
    concurrent_router() : concurrent_router(listing::heap) {}
    // The handler is fixed here: routing threads read it without a lock,
    // and call it from many threads at once.
    explicit concurrent_router(listing order, exception_handler handler = {});
    // Lists in heap order; reports exceptions to handler and goes on.
    explicit concurrent_router(exception_handler handler);
    ~concurrent_router();

    concurrent_router(const concurrent_router&) = delete;
    concurrent_router& operator=(const concurrent_router&) = delete;

    // As remove_destination, then waits until no call of the destination
    // is running or can start in any thread, and its copy is destroyed;
    // waits so even when it was removed before. Throws std::logic_error
    // where the wait would wait for itself (see above).
    bool remove_destination_and_wait(destination_id id);

    // Returns once every routing call that began before it has returned,
    // and every copy that nothing lists any more has been destroyed.
    // Throws std::logic_error where the wait would wait for itself.
    void synchronize();

private:
    using front = router_front<concurrent_router<T>, T>;
    friend front;
    using typename front::listed_state;
    using typename front::scope_link;
    using entry = std::atomic<destination<T>*>;
    class walk;
    class walk_list;
    struct listed_destination;
    class listed_list;
    struct retired;
    struct batch_frame;
    struct freeing_frame;
    enum class freed { all, retired_more, refused };

    // What the front asks, each under writer_mutex (router_front.hpp).
    std::size_t listed_count() const;
    bool default_installed() const;
    std::optional<listed_state> state_of(destination_id id) const;
    std::shared_ptr<scope_link> scopes_made();
    // What the front changes: each change serializes on writer_mutex,
    // begins by unlisting what expired, and ends by freeing what it can.
    destination_id list(std::unique_ptr<destination<T>> copy, unsigned priority, bool tracked);
    bool install_default(std::unique_ptr<destination<T>> copy, bool tracked);
    bool unlist(destination_id id) { return change_listed(id, unlist_one()).listed; }
    // Waits as remove_destination_and_wait does, where that would not wait
    // for itself: removing is all it can do there.
    void remove_scoped(destination_id id);
    bool change_priority(destination_id id, unsigned priority);
    bool block_listed(destination_id id);
    bool unblock_listed(destination_id id);
    void unlist_all();

    // The rare paths: changes, waiting, and freeing what they unlisted.
    // Whether id was listed, whether all the change unlisted is freed
    // already, as no other thread could be reading it, and a bound above
    // the stamps of what is left to free.
    struct change_done {
        bool listed;
        bool freed_alone;
        std::uint64_t retired_below;
    };
    template <typename Change>
    change_done change_listed(destination_id id, Change change);
    auto unlist_one()
    {
        return [this](std::size_t index) { unlist_at(index); };
    }
    std::unique_lock<std::mutex> take_if_read_alone();
    bool finish_change(std::unique_lock<std::mutex> freeing);
    [[gnu::cold, gnu::noinline]] void wait_and_free(const char* operation, std::uint64_t needed);
    [[gnu::cold, gnu::noinline]] void free_retired();
    [[gnu::cold, gnu::noinline]] freed free_retired_waiting(std::uint64_t needed);
    void take_retired_before(std::uint64_t bound);
    void take_next_batch();
    bool free_taken();
    // Why a wait on this thread would wait for itself, or null.
    const char* waiting_waits_for_itself() const;
    void refuse_to_wait_inside(const char* operation) const;
    bool being_freed_here() const;

    // Under writer_mutex.
    void retire(walk_list* list, std::unique_ptr<destination<T>> copy);
    std::size_t listed_index(destination_id id) const;
    // Above the stamp of all that is left to free: what a free under way
    // took is past its grace period already.
    std::uint64_t retired_bound() const { return retired_since.empty() ? 0 : retired_since.back().stamp + 1; }
    void append(const listed_destination& added);
    void unlist_at(std::size_t index);
    bool order_kept_without(std::size_t index) const;
    // A rebuild in two steps: what may fail, then what others see.
    [[gnu::cold, gnu::noinline]] walk_list* build(std::vector<listed_destination>& next);
    // as_added: next holds one priority in the order of adding.
    void publish(walk_list* built, const std::vector<listed_destination>& next, bool as_added);
    void overwrite_entry(std::size_t index, destination<T>* instead);
    [[gnu::cold, gnu::noinline]] void
    replace_in_walks(detail::id_serial serial, const destination<T>* met, destination<T>* instead);
    // Every change begins by unlisting the tracked destinations whose
    // object is gone.
    void unlist_expired()
    {
        if (tracked_count != 0)
            unlist_expired_copies();
    }
    [[gnu::cold, gnu::noinline]] void unlist_expired_copies();
    static bool lower(const listed_destination& a, const listed_destination& b) { return a.priority < b.priority; }
    static bool earlier(const listed_destination& a, const listed_destination& b) { return a.serial < b.serial; }

    // Read by every routing call.
    std::atomic<walk_list*> published{nullptr};
    std::atomic<destination<T>*> default_target{nullptr};
    detail::read_site readers;

    // Changes and questions only, under writer_mutex.
    mutable std::mutex writer_mutex;
    // In walk order; each names its entry in the published array, where
    // the entries between them are removed ones' stand-ins.
    listed_list listed;
    std::size_t removed_in_place = 0;
    // A walk calls each stand-in it meets: an array is built anew once
    // they would pass this many and an eighth of the listed.
    static constexpr std::size_t stand_ins_kept = 8;
    // listed holds one priority in the order of adding, so that removing
    // any one keeps the order of the rest: the usual case, known in O(1).
    bool listed_as_added = true;
    // The next list of a rebuild, kept for the room it grew to.
    std::vector<listed_destination> next_listed;
    // An array whose grace period is over, kept for the next rebuild so
    // that changes that rebuild allocate nothing once it is large enough.
    walk_list* spare_list = nullptr;
    std::unique_ptr<destination<T>> default_copy;
    std::vector<retired> retired_since;
    // Its size, read without the lock to tell that nothing waits.
    std::atomic<std::size_t> retired_count{0};
    // What the last free could not free yet.
    std::size_t left_retired = 0;
    static constexpr std::size_t changes_per_free = 32;
    bool default_tracked = false;
    // Tracked copies listed or installed as the default.
    std::size_t tracked_count = 0;
    // Made by the first scoped destination or block; its end disarms them.
    std::shared_ptr<scope_link> scopes;
    // Held while freeing, so that a waiter knows the frees it waits for
    // are over; what it guards is being destroyed. A waiter takes it by
    // trying again and again, so that it can look for a cycle meanwhile.
    std::mutex freeing_mutex;
    // The record of the thread running destructors under it, or null.
    std::atomic<const detail::reader_record*> freeing_by{nullptr};
    // Under freeing_mutex: how many at the front of retired_since are
    // still to be freed, and the few taken out to be freed now. A free
    // allocates nothing, so that it cannot fail once a change is made.
    static constexpr std::size_t free_batch = 16;
    std::size_t to_free = 0;
    std::array<retired, free_batch> freeing_now;
    std::size_t freeing_count = 0;
};

// ---------------------------------------------------------------------
// Mechanics.

// What every routing call walks: the destinations, in one allocation with
// the count of those published and room for more. Entries change only to
// become or stop being a stand-in, and to be appended.
template <typename T>
class concurrent_router<T>::walk_list {
public:
    // In spare, taken, when it has room for order and one more; otherwise
    // with room for as many more.
    static walk_list* make(std::vector<listed_destination>& order, walk_list*& spare)
    {
        const std::size_t room = order.size() < 4 ? 8 : 2 * order.size();
        walk_list* list = nullptr;
        if (spare && spare->room > order.size()) {
            const std::size_t spare_room = spare->room;
            list = new (std::exchange(spare, nullptr)) walk_list(spare_room, order.size());
        } else {
            void* const storage
                = ::operator new(sizeof(walk_list) + room * (sizeof(entry) + sizeof(detail::id_serial)));
            list = new (storage) walk_list(room, order.size());
        }
        for (std::size_t i = 0; i < order.size(); ++i) {
            list->write(i, order[i].walked(), order[i].serial);
            order[i].slot = i;
        }
        return list;
    }
    static void free(walk_list* list) noexcept
    {
        if (list)
            ::operator delete(list);
    }
    // Keeps the larger of list and spare as spare; list becomes the other.
    static void keep_larger(walk_list*& list, walk_list*& spare) noexcept
    {
        if (list && (!spare || spare->room < list->room))
            std::swap(list, spare);
    }

    entry* begin() { return reinterpret_cast<entry*>(this + 1); }
    const entry* begin() const { return reinterpret_cast<const entry*>(this + 1); }
    // Acquire: the entry appended last, and its id, are written before the
    // count.
    const entry* end() const { return begin() + count.load(std::memory_order_acquire); }
    std::size_t size() const { return count.load(std::memory_order_relaxed); }
    bool has_room() const { return size() < room; }
    void append(destination<T>* added, detail::id_serial serial)
    {
        const std::size_t at = size();
        write(at, added, serial);
        count.store(at + 1, std::memory_order_release);
    }
    // Of an entry below end(): ids are written once, before their entry is
    // published, and never change, so a plain read is race-free.
    destination_id id_of(const entry* e) const { return destination_id(ids()[e - begin()]); }
    // Under writer_mutex: false when the destination of serial was never
    // written here.
    bool may_hold(detail::id_serial serial) const { return !(newest < serial); }

private:
    walk_list(std::size_t entries_room, std::size_t entries) : room(entries_room), count(entries) {}
    // The ids follow the room for entries, slot for slot.
    detail::id_serial* ids() { return reinterpret_cast<detail::id_serial*>(begin() + room); }
    const detail::id_serial* ids() const { return reinterpret_cast<const detail::id_serial*>(begin() + room); }
    void write(std::size_t at, destination<T>* walked, detail::id_serial serial)
    {
        new (begin() + at) entry(walked);
        new (ids() + at) detail::id_serial(serial);
        if (newest < serial)
            newest = serial;
    }

    const std::size_t room;
    std::atomic<std::size_t> count;
    // The writers' alone: the greatest id written.
    detail::id_serial newest;
};
static_assert(
    std::is_trivially_destructible_v<std::atomic<int*>> && std::is_trivially_destructible_v<detail::id_serial>,
    "walk_list frees its entries unrun");
static_assert(alignof(detail::id_serial) <= alignof(std::atomic<int*>), "ids follow the entries unpadded");

// The writers' own view of a listed destination.
template <typename T>
struct concurrent_router<T>::listed_destination {
    destination<T>* target;
    unsigned priority;
    detail::id_serial serial;
    // target is a detail::expiring<T>.
    bool tracked;
    unsigned blocks;
    // Owned; walked in target's place while it is blocked.
    destination<T>* stand_in;
    // Its entry in the published array.
    std::size_t slot;

    destination<T>* walked() const { return stand_in ? stand_in : target; }
};

// The writers' list of the listed, in walk order: a vector whose front may
// hold entries erased already, so that an erase shifts whichever side of
// it is shorter, and removing the first, as objects ending their
// destinations in the order they made them do, moves nothing.
template <typename T>
class concurrent_router<T>::listed_list {
public:
    std::size_t size() const { return items.size() - front; }
    bool empty() const { return items.size() == front; }
    listed_destination& operator[](std::size_t index) { return items[front + index]; }
    const listed_destination& operator[](std::size_t index) const { return items[front + index]; }
    listed_destination& back() { return items.back(); }
    const listed_destination* begin() const { return items.data() + front; }
    const listed_destination* end() const { return items.data() + items.size(); }

    // Room to assign count without allocating.
    void reserve(std::size_t count) { items.reserve(count); }
    void assign(const std::vector<listed_destination>& next)
    {
        items.assign(next.begin(), next.end());
        front = 0;
    }
    // Allocates nothing while the erased front makes room.
    void push_back(const listed_destination& added)
    {
        if (front != 0 && items.size() == items.capacity())
            drop_front();
        items.push_back(added);
    }
    void erase(std::size_t index)
    {
        if (index >= size() / 2) {
            items.erase(items.begin() + static_cast<std::ptrdiff_t>(front + index));
            return;
        }
        for (std::size_t at = front + index; at != front; --at)
            items[at] = items[at - 1];
        ++front;
    }
    void swap(std::vector<listed_destination>& other) noexcept
    {
        drop_front();
        items.swap(other);
    }

private:
    void drop_front() noexcept
    {
        items.erase(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(front));
        front = 0;
    }

    std::vector<listed_destination> items;
    // How many at the front of items are erased already.
    std::size_t front = 0;
};

// What a change unlisted, kept until no routing call can read it.
template <typename T>
struct concurrent_router<T>::retired {
    std::uint64_t stamp = 0;
    walk_list* list = nullptr;
    std::unique_ptr<destination<T>> copy;
};

// While a batch walk offers a chunk, the destination it is offering, in a
// place this thread's removals can reach: batches check it, and a removal
// made from inside the batch replaces it with the stand-in. Other threads'
// removals reach the walk from the next chunk on.
template <typename T>
struct concurrent_router<T>::batch_frame {
    batch_frame(const concurrent_router* routed, destination<T>*& offering)
        : router(routed), offered(offering), outer(innermost)
    {
        innermost = this;
    }
    ~batch_frame() { innermost = outer; }
    batch_frame(const batch_frame&) = delete;
    batch_frame& operator=(const batch_frame&) = delete;

    const concurrent_router* router;
    destination<T>*& offered;
    batch_frame* outer;
    static inline thread_local batch_frame* innermost = nullptr;
};

// The routers this thread is destroying unlisted copies of, innermost
// first: a copy's destructor may change or wait for any of them.
template <typename T>
struct concurrent_router<T>::freeing_frame {
    freeing_frame(const concurrent_router* freeing) : router(freeing), outer(innermost) { innermost = this; }
    ~freeing_frame() { innermost = outer; }
    freeing_frame(const freeing_frame&) = delete;
    freeing_frame& operator=(const freeing_frame&) = delete;

    static freeing_frame* of(const concurrent_router* router)
    {
        freeing_frame* frame = innermost;
        while (frame && frame->router != router)
            frame = frame->outer;
        return frame;
    }

    const concurrent_router* router;
    freeing_frame* outer;
    // A destructor it ran unlisted more.
    bool retired_more = false;
    static inline thread_local freeing_frame* innermost = nullptr;
};

// One routing call's walk, inside a read section of the router: of the
// array published when it began, or when refresh() last read it.
template <typename T>
class concurrent_router<T>::walk {
public:
    using entry = concurrent_router::entry;

    explicit walk(concurrent_router& routed)
        : owner(routed), section(routed.readers), list(routed.published.load(std::memory_order_acquire))
    {
    }
    // Inlined on the way out of an exception too: called out of line
    // there, it would need the walk in memory for every value.
    [[gnu::always_inline]] ~walk() {}
    walk(const walk&) = delete;
    walk& operator=(const walk&) = delete;

    const entry* begin() const { return list->begin(); }
    const entry* end() const { return list->end(); }
    // Acquire: an entry may be overwritten with a block's stand-in made
    // after the walk began. On x86 the load is the plain move a relaxed
    // one is.
    static destination<T>* target(const entry& e) { return e.load(std::memory_order_acquire); }
    destination_id id_of(const entry* e) const { return list->id_of(e); }
    // Read after the walk: the walk may have replaced the default.
    bool offer_default(const T& value) const
    {
        destination<T>* const fallback = owner.default_target.load(std::memory_order_acquire);
        if (!fallback)
            return false;
        fallback->distribute(value);
        return true;
    }
    void refresh() { list = owner.published.load(std::memory_order_acquire); }

    void offer_listed_chunk(batch<T>& chunk)
    {
        const batch_frame frame(&owner, offered);
        chunk.offered = &offered;
        const entry* const last = end();
        for (const entry* current = begin(); current != last && !chunk.empty(); ++current) {
            offered = target(*current);
            chunk.offering = offered;
            offered->distribute_batch(chunk);
        }
    }
    bool offer_default_chunk(batch<T>& chunk)
    {
        const batch_frame frame(&owner, offered);
        offered = owner.default_target.load(std::memory_order_acquire);
        chunk.offering = offered;
        if (!offered)
            return false;
        offered->distribute_batch(chunk);
        return true;
    }

private:
    concurrent_router& owner;
    const detail::read_section section;
    const walk_list* list;
    // What a batch offers a chunk now; the frames of its chunk calls let
    // this thread's removals reach it, and a value's walk makes none.
    destination<T>* offered = nullptr;
};

template <typename T>
detail::refusing_stand_in<T> stand_in_for_removed;

template <typename T>
concurrent_router<T>::concurrent_router(listing order, exception_handler handler) : front(order, std::move(handler))
{
    std::vector<listed_destination> none;
    published.store(walk_list::make(none, spare_list), std::memory_order_release);
}

template <typename T>
concurrent_router<T>::concurrent_router(exception_handler handler)
    : concurrent_router(listing::heap, std::move(handler))
{
}

template <typename T>
concurrent_router<T>::~concurrent_router()
{
    // First: a destination destroyed below may hold a scoped destination.
    scopes.reset();
    for (retired& r : retired_since)
        walk_list::free(r.list);
    walk_list::free(published.load(std::memory_order_relaxed));
    walk_list::free(spare_list);
    for (const listed_destination& d : listed) {
        delete d.target;
        delete d.stand_in;
    }
}

template <typename T>
std::size_t concurrent_router<T>::listed_count() const
{
    const std::lock_guard<std::mutex> lock(writer_mutex);
    return listed.size();
}

template <typename T>
bool concurrent_router<T>::default_installed() const
{
    const std::lock_guard<std::mutex> lock(writer_mutex);
    return default_copy != nullptr;
}

template <typename T>
auto concurrent_router<T>::state_of(destination_id id) const -> std::optional<listed_state>
{
    const std::lock_guard<std::mutex> lock(writer_mutex);
    const std::size_t index = listed_index(id);
    if (index == listed.size())
        return std::nullopt;
    return listed_state{listed[index].priority, listed[index].blocks != 0};
}

template <typename T>
auto concurrent_router<T>::scopes_made() -> std::shared_ptr<scope_link>
{
    const std::lock_guard<std::mutex> lock(writer_mutex);
    if (!scopes)
        scopes = std::make_shared<scope_link>(*this);
    return scopes;
}

template <typename T>
destination_id concurrent_router<T>::list(std::unique_ptr<destination<T>> copy, unsigned priority, bool tracked)
{
    const detail::id_serial serial = destination_id::next_serial();
    std::unique_lock<std::mutex> freeing;
    {
        const std::lock_guard<std::mutex> lock(writer_mutex);
        unlist_expired();
        append(listed_destination{copy.get(), priority, serial, tracked, 0, nullptr, 0});
        copy.release();
        tracked_count += tracked;
        freeing = take_if_read_alone();
    }
    finish_change(std::move(freeing));
    return destination_id(serial);
}

// copy may be null: the default is then removed.
template <typename T>
bool concurrent_router<T>::install_default(std::unique_ptr<destination<T>> copy, bool tracked)
{
    bool replaced = false;
    std::unique_lock<std::mutex> freeing;
    {
        const std::lock_guard<std::mutex> lock(writer_mutex);
        unlist_expired();
        retired_since.reserve(retired_since.size() + 1);
        replaced = default_copy != nullptr;
        default_target.store(copy.get(), std::memory_order_release);
        default_copy.swap(copy);
        if (copy)
            retire(nullptr, std::move(copy));
        tracked_count += tracked;
        tracked_count -= std::exchange(default_tracked, tracked);
        freeing = take_if_read_alone();
    }
    finish_change(std::move(freeing));
    return replaced;
}

template <typename T>
void concurrent_router<T>::remove_scoped(destination_id id)
{
    const change_done removed = change_listed(id, unlist_one());
    if (!removed.freed_alone && !waiting_waits_for_itself())
        wait_and_free(nullptr, removed.retired_below);
}

// Walks under way keep the array they began with: the list is reordered
// in a new one.
template <typename T>
bool concurrent_router<T>::change_priority(destination_id id, unsigned priority)
{
    const auto reorder = [this, priority](std::size_t index) {
        next_listed.assign(listed.begin(), listed.end());
        next_listed[index].priority = priority;
        detail::reorder_changed(next_listed, index, lower, earlier, this->order());
        publish(build(next_listed), next_listed, detail::as_added_alike(next_listed, lower, earlier));
    };
    return change_listed(id, reorder).listed;
}

template <typename T>
bool concurrent_router<T>::block_listed(destination_id id)
{
    const auto put_stand_in = [this](std::size_t index) {
        listed_destination& d = listed[index];
        if (d.blocks == 0) {
            d.stand_in = new detail::refusing_stand_in<T>;
            overwrite_entry(index, d.stand_in);
            replace_in_walks(d.serial, d.target, d.stand_in);
        }
        ++d.blocks;
    };
    return change_listed(id, put_stand_in).listed;
}

template <typename T>
bool concurrent_router<T>::unblock_listed(destination_id id)
{
    const auto take_stand_in_away = [this](std::size_t index) {
        listed_destination& d = listed[index];
        if (d.blocks != 0 && --d.blocks == 0) {
            destination<T>* const stand_in = std::exchange(d.stand_in, nullptr);
            overwrite_entry(index, d.target);
            replace_in_walks(d.serial, stand_in, d.target);
            retire(nullptr, std::unique_ptr<destination<T>>(stand_in));
        }
    };
    return change_listed(id, take_stand_in_away).listed;
}

// A new empty array, and walks under way meet a stand-in in place of
// every destination they have not reached. What may fail comes first.
template <typename T>
void concurrent_router<T>::unlist_all()
{
    std::unique_lock<std::mutex> freeing;
    {
        const std::lock_guard<std::mutex> lock(writer_mutex);
        // Each copy, its stand-in, the array and the default.
        retired_since.reserve(retired_since.size() + 2 * listed.size() + 2);
        std::vector<listed_destination> none;
        walk_list* const built = build(none);
        std::vector<listed_destination> unlisted;
        listed.swap(unlisted);
        publish(built, none, true);
        for (const listed_destination& d : unlisted) {
            retire(nullptr, std::unique_ptr<destination<T>>(d.target));
            if (d.stand_in)
                retire(nullptr, std::unique_ptr<destination<T>>(d.stand_in));
            replace_in_walks(d.serial, d.walked(), &stand_in_for_removed<T>);
        }
        default_target.store(nullptr, std::memory_order_release);
        if (default_copy)
            retire(nullptr, std::move(default_copy));
        default_tracked = false;
        tracked_count = 0;
        freeing = take_if_read_alone();
    }
    finish_change(std::move(freeing));
}

// A change of what id names: under writer_mutex, after the expired
// tracked destinations are unlisted, change(index) if id is listed; then
// what changes unlisted may be freed.
template <typename T>
template <typename Change>
typename concurrent_router<T>::change_done concurrent_router<T>::change_listed(destination_id id, Change change)
{
    std::unique_lock<std::mutex> freeing;
    std::uint64_t retired_below = 0;
    {
        const std::lock_guard<std::mutex> lock(writer_mutex);
        unlist_expired();
        const std::size_t index = listed_index(id);
        if (index == listed.size())
            return {false, false, retired_bound()};
        // Room for what the change may retire, so that a failure leaves
        // all as it was.
        retired_since.reserve(retired_since.size() + 2);
        change(index);
        retired_below = retired_bound();
        freeing = take_if_read_alone();
    }
    return {true, finish_change(std::move(freeing)), retired_below};
}

template <typename T>
bool concurrent_router<T>::remove_destination_and_wait(destination_id id)
{
    refuse_to_wait_inside("remove_destination_and_wait");
    const change_done removed = change_listed(id, unlist_one());
    if (!removed.freed_alone)
        wait_and_free("remove_destination_and_wait", removed.retired_below);
    return removed.listed;
}

template <typename T>
void concurrent_router<T>::synchronize()
{
    refuse_to_wait_inside("synchronize");
    // A grace period that begins from here on: every routing call under
    // way is waited for, whatever it reads.
    wait_and_free("synchronize", readers.retire_stamp() + 1);
}

// Under writer_mutex, with room reserved in retired_since.
template <typename T>
void concurrent_router<T>::retire(walk_list* list, std::unique_ptr<destination<T>> copy)
{
    retired_since.push_back({readers.retire_stamp(), list, std::move(copy)});
    retired_count.store(retired_since.size(), std::memory_order_relaxed);
    if (freeing_frame* const frame = freeing_frame::of(this))
        frame->retired_more = true;
}

template <typename T>
std::size_t concurrent_router<T>::listed_index(destination_id id) const
{
    return front::index_of(listed, id, [](const listed_destination& d) { return d.serial; });
}

// In place when the array has room and the order leaves the new one last:
// in a heap whenever its priority is no higher than its parent's, in the
// sorted order whenever it is no higher than the last's. Otherwise a new
// array.
template <typename T>
void concurrent_router<T>::append(const listed_destination& added)
{
    walk_list* const list = published.load(std::memory_order_relaxed);
    const std::size_t above = this->order() == listing::heap ? (listed.size() - 1) / 2 : listed.size() - 1;
    const bool stays_last = listed.empty() || !lower(listed[above], added);
    // Kept when added is last in the order of adding, of the same priority.
    const bool as_added
        = listed_as_added
          && (listed.empty()
              || (!lower(added, listed.back()) && !lower(listed.back(), added) && earlier(listed.back(), added)));
    if (stays_last && list->has_room()) {
        listed_as_added = as_added;
        listed.push_back(added);
        listed.back().slot = list->size();
        list->append(added.target, added.serial);
        return;
    }
    retired_since.reserve(retired_since.size() + 1);
    next_listed.reserve(listed.size() + 1);
    next_listed.assign(listed.begin(), listed.end());
    detail::add_in_order(next_listed, added, lower, this->order());
    publish(build(next_listed), next_listed, as_added);
}

// Unlists listed[index], retires its copy and its stand-in if blocked, and
// has the walks under way skip it: in place while the order of the rest is
// the one a new array would have and stand-ins stay under an eighth of the
// listed, as every walk calls each stand-in it meets. Everything that may
// fail comes before the first store a walk or a later change sees, so
// that a failure leaves all as it was.
template <typename T>
void concurrent_router<T>::unlist_at(std::size_t index)
{
    const listed_destination removed = listed[index];
    // The copy, its stand-in and a replaced array.
    retired_since.reserve(retired_since.size() + 3);
    // Equal priorities in the order of adding, or the sorted order, stay
    // so; otherwise the order without it is worked out, in next_listed.
    const bool as_added = listed_as_added || this->order() == listing::sorted;
    if (!as_added) {
        next_listed.assign(listed.begin(), listed.end());
        detail::erase_in_order(next_listed, index, lower, earlier, this->order());
    }
    const bool in_place = as_added || order_kept_without(index);
    walk_list* built = nullptr;
    const std::size_t eighth = (listed.size() - 1) / 8;
    if (!in_place || removed_in_place + 1 > (eighth < stand_ins_kept ? stand_ins_kept : eighth)) {
        if (as_added) {
            next_listed.assign(listed.begin(), listed.end());
            next_listed.erase(next_listed.begin() + static_cast<std::ptrdiff_t>(index));
        }
        built = build(next_listed);
    }
    if (built) {
        publish(built, next_listed, listed_as_added);
    } else {
        walk_list* const list = published.load(std::memory_order_relaxed);
        listed.erase(index);
        (list->begin() + removed.slot)->store(&stand_in_for_removed<T>, std::memory_order_release);
        ++removed_in_place;
    }
    retire(nullptr, std::unique_ptr<destination<T>>(removed.target));
    if (removed.stand_in)
        retire(nullptr, std::unique_ptr<destination<T>>(removed.stand_in));
    replace_in_walks(removed.serial, removed.walked(), &stand_in_for_removed<T>);
    tracked_count -= removed.tracked;
}

// Whether next_listed, the list without listed[index], keeps the rest in
// the order they are in.
template <typename T>
bool concurrent_router<T>::order_kept_without(std::size_t index) const
{
    for (std::size_t i = 0, n = 0; i < listed.size(); ++i) {
        if (i != index && listed[i].serial != next_listed[n++].serial)
            return false;
    }
    return true;
}

// Under writer_mutex: the array for next, in walk order, and room in
// listed to take next without allocating.
template <typename T>
typename concurrent_router<T>::walk_list* concurrent_router<T>::build(std::vector<listed_destination>& next)
{
    listed.reserve(next.size());
    return walk_list::make(next, spare_list);
}

// Under writer_mutex, with room for one in retired_since: built becomes
// the array walks read, and next the list. Allocates nothing.
template <typename T>
void concurrent_router<T>::publish(walk_list* built, const std::vector<listed_destination>& next, bool as_added)
{
    walk_list* const replaced = published.exchange(built, std::memory_order_acq_rel);
    // Assigned, not swapped, so that listed keeps the room it grew to.
    listed.assign(next);
    removed_in_place = 0;
    listed_as_added = as_added;
    retire(replaced, nullptr);
}

template <typename T>
void concurrent_router<T>::overwrite_entry(std::size_t index, destination<T>* instead)
{
    walk_list* const list = published.load(std::memory_order_relaxed);
    (list->begin() + listed[index].slot)->store(instead, std::memory_order_release);
}

// Under writer_mutex: walks under way in arrays already replaced meet
// instead where they would have met met, and so does a batch of this
// thread that is offering met a chunk now. met, the destination of
// serial or its stand-in, is in an array once at most, and only in one
// made or appended to since it was listed.
template <typename T>
void concurrent_router<T>::replace_in_walks(detail::id_serial serial, const destination<T>* met,
                                            destination<T>* instead)
{
    for (retired& r : retired_since) {
        if (!r.list || !r.list->may_hold(serial))
            continue;
        entry* const last = r.list->begin() + r.list->size();
        for (entry* e = r.list->begin(); e != last; ++e) {
            if (e->load(std::memory_order_relaxed) == met) {
                e->store(instead, std::memory_order_release);
                break;
            }
        }
    }
    for (batch_frame* frame = batch_frame::innermost; frame; frame = frame->outer) {
        if (frame->router == this && frame->offered == met)
            frame->offered = instead;
    }
}

template <typename T>
void concurrent_router<T>::unlist_expired_copies()
{
    const auto expired = [](const destination<T>* d) { return static_cast<const detail::expiring<T>*>(d)->expired(); };
    // Serials first: each unlisting may reorder the list.
    std::vector<detail::id_serial> gone;
    for (const listed_destination& d : listed) {
        if (d.tracked && expired(d.target))
            gone.push_back(d.serial);
    }
    for (const detail::id_serial serial : gone)
        unlist_at(listed_index(destination_id(serial)));
    if (default_tracked && expired(default_copy.get())) {
        retired_since.reserve(retired_since.size() + 1);
        default_target.store(nullptr, std::memory_order_release);
        retire(nullptr, std::move(default_copy));
        default_tracked = false;
        --tracked_count;
    }
}

// Under writer_mutex, at the end of a change: when no thread but this one
// has routed through the router since its last grace period, takes all
// that was unlisted, to be freed at once once the lock is let go, and
// returns the lock of freeing_mutex that the free holds. A change made by
// a destructor that this thread runs is left to the free under way.
template <typename T>
std::unique_lock<std::mutex> concurrent_router<T>::take_if_read_alone()
{
    if (retired_since.empty() || being_freed_here())
        return {};
    std::unique_lock<std::mutex> freeing(freeing_mutex, std::try_to_lock);
    if (!freeing.owns_lock() || !readers.read_by_caller_alone())
        return {};
    to_free = retired_since.size();
    left_retired = 0;
    take_next_batch();
    return freeing;
}

// Frees what take_if_read_alone took, or else what a free that needs no
// wait can; returns whether everything unlisted was freed.
template <typename T>
bool concurrent_router<T>::finish_change(std::unique_lock<std::mutex> freeing)
{
    if (freeing.owns_lock()) {
        free_taken();
        return true;
    }
    // Fewer than that call for no free, whatever the last one left.
    if (retired_count.load(std::memory_order_relaxed) >= changes_per_free)
        free_retired();
    return false;
}

// Frees, without waiting, every so many changes, what was unlisted before
// the oldest routing call began. A change made by a destructor that this
// thread runs below is left to the free under way.
template <typename T>
void concurrent_router<T>::free_retired()
{
    if (being_freed_here())
        return;
    std::unique_lock<std::mutex> freeing(freeing_mutex, std::try_to_lock);
    // Learning the oldest reader costs a barrier on every routing thread,
    // an interrupt each: paid once per so many changes.
    if (!freeing.owns_lock() || retired_count.load(std::memory_order_relaxed) < left_retired + changes_per_free)
        return;
    take_retired_before(readers.oldest_reader());
    free_taken();
}

// Waits, when another thread may be inside, until no routing call can
// read what was retired below needed, and frees it; again while the
// destructors it ran unlisted more. Throws for operation (or, with none,
// gives up the wait) when the thread it would wait for waits for this one.
template <typename T>
void concurrent_router<T>::wait_and_free(const char* operation, std::uint64_t needed)
{
    for (;; needed = readers.retire_stamp() + 1) {
        const freed result = free_retired_waiting(needed);
        if (result == freed::all)
            return;
        if (result == freed::refused) {
            if (!operation)
                return;
            throw std::logic_error(std::string("vessa::concurrent_router::") + operation
                                   + ": the thread it would wait for waits for this one, each inside a routing call");
        }
    }
}

template <typename T>
typename concurrent_router<T>::freed concurrent_router<T>::free_retired_waiting(std::uint64_t needed)
{
    std::uint64_t bound = readers.bound_of_retired();
    if (!readers.read_by_caller_alone()) {
        // Below the bound just taken: a grace period that another waiter
        // began since what this one needs was retired may serve.
        bound = needed;
        if (readers.wait_for_readers(bound) == detail::read_site::waited::refused_for_cycle)
            return freed::refused;
    }
    // A free under way may run a destructor that waits for a router this
    // thread is inside: waiting for it would close a cycle.
    std::unique_lock<std::mutex> freeing(freeing_mutex, std::try_to_lock);
    for (const detail::pause_between_looks pause; !freeing.owns_lock(); freeing.try_lock()) {
        if (readers.waits_for_caller(freeing_by.load(std::memory_order_acquire)))
            return freed::refused;
        pause();
    }
    if (retired_count.load(std::memory_order_relaxed) == 0)
        return freed::all;
    take_retired_before(bound);
    return free_taken() ? freed::retired_more : freed::all;
}

// Under freeing_mutex: what was retired below bound is to be freed.
template <typename T>
void concurrent_router<T>::take_retired_before(std::uint64_t bound)
{
    const std::lock_guard<std::mutex> lock(writer_mutex);
    // Stamps grow along retired_since: what is taken comes first.
    to_free = 0;
    while (to_free < retired_since.size() && retired_since[to_free].stamp < bound)
        ++to_free;
    left_retired = retired_since.size() - to_free;
    take_next_batch();
}

// Under freeing_mutex and writer_mutex: moves the next few to be freed out
// of retired_since, keeping an array among them as spare_list. Only frees take from its front, and they hold
// freeing_mutex, so what was counted to be freed is still there.
template <typename T>
void concurrent_router<T>::take_next_batch()
{
    freeing_count = to_free < free_batch ? to_free : free_batch;
    // Past its grace period an array may be written again: the largest is
    // kept for the next rebuild.
    for (std::size_t i = 0; i < freeing_count; ++i) {
        walk_list::keep_larger(retired_since[i].list, spare_list);
        freeing_now[i] = std::move(retired_since[i]);
    }
    retired_since.erase(retired_since.begin(), retired_since.begin() + static_cast<std::ptrdiff_t>(freeing_count));
    to_free -= freeing_count;
    retired_count.store(retired_since.size(), std::memory_order_relaxed);
}

// Destructors run with no lock of the router's held but freeing_mutex, so
// that they may change the router. Returns whether they unlisted more.
template <typename T>
bool concurrent_router<T>::free_taken()
{
    freeing_frame frame(this);
    freeing_by.store(readers.caller(), std::memory_order_release);
    for (;;) {
        for (std::size_t i = 0; i < freeing_count; ++i) {
            walk_list::free(std::exchange(freeing_now[i].list, nullptr));
            freeing_now[i].copy.reset();
        }
        freeing_count = 0;
        if (to_free == 0)
            break;
        const std::lock_guard<std::mutex> lock(writer_mutex);
        take_next_batch();
    }
    freeing_by.store(nullptr, std::memory_order_release);
    return frame.retired_more;
}

template <typename T>
bool concurrent_router<T>::being_freed_here() const
{
    return freeing_frame::of(this) != nullptr;
}

template <typename T>
const char* concurrent_router<T>::waiting_waits_for_itself() const
{
    return readers.inside()     ? "inside a routing call of the same router"
           : being_freed_here() ? "by the destructor of one of its destinations"
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
