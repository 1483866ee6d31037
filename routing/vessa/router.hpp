// vessa: route each value to the first destination that takes it.
//
// A router holds destinations ordered by priority plus an optional default.
// It offers a value to its destinations in turn, stops at the first that
// takes it, and hands the value to the default when none does.
//
//     vessa::router<int> r;
//     auto small = r.add_destination([](const int& v) { return v < 10; }, 2);
//     r.add_destination(even_numbers(), 1);      // a vessa::destination<int>
//     r.set_default_destination([&](const int& v) { rest.push_back(v); return true; });
//     r.distribute(42);                           // one value
//     r.distribute(values.begin());               // *it, by reference
//     r.distribute(values.begin(), values.end()); // every value, in order
//     r.distribute_batch(values);                 // the same, a chunk per call
//     r.remove_destination(small);
//
// Lifetimes. add_scoped_destination returns a scoped_destination, which
// removes the destination when it is destroyed or assigned another
// (scoped_destination.hpp); vessa::tracking(weak, d) makes a destination
// that ends with the object weak observes (tracking.hpp); block(id) pauses
// a destination and unblock(id) resumes it:
//
//     vessa::scoped_destination scope = r.add_scoped_destination([](const int& v) { return v < 0; });
//     r.add_destination(vessa::tracking(std::weak_ptr<sink>(shared_sink), sink_destination(shared_sink.get())));
//     r.block(small);                             // offered nothing now
//     r.unblock(small);                           // blocks nest: one unblock each
//
// Order. The list is a binary max-heap in array order, as std::push_heap
// leaves it, and values are offered in that array order: the first has a
// highest priority, but the rest are not sorted. Equal priorities keep the
// order they were added in only while every priority is equal: priorities
// 1, 1, 2 added as a, b, c are offered c, b, a. After a removal, the order
// is the one that adding the remaining destinations again, in the order
// they were first added, would give.
//
// Changes while routing. A destination, while it is offered a value, may
// add and remove destinations (itself included), replace the default
// (itself included) and route other values through the same router:
//   - a value is offered to the destinations listed when its routing
//     began, in that order, skipping those removed before their turn;
//   - a destination is never offered anything once remove_destination
//     has returned for it, not even the rest of the current value;
//   - a destination added while a value is routed is first offered the
//     next value;
//   - a value nobody took goes to the default installed when the walk of
//     the list ends;
//   - distribute(first, last) routes its elements one by one by these
//     rules, so a change takes effect from the next element;
//   - a destination blocked before its turn is skipped, and one
//     unblocked before its turn is offered the value.
// A destination's copy is destroyed once nothing lists it and no routing
// under way can reach it: at the latest when the outermost routing call
// returns. An exception thrown by a destination leaves the routing call;
// the router stays usable and leaks nothing. Destroying the router from
// inside one of its own destinations is not allowed.
//
// Tracked destinations. Once its object is gone, a tracked destination
// refuses every value without being called; at the next change (an add,
// a removal, a new default, a block or an unblock) the router unlists it
// first, and destroys its copy as it destroys removed ones. An expired
// tracked default is dropped the same way, and values nobody takes are
// then dropped too.
//
// Blocking. A blocked destination keeps its place in the order and its
// id, and can be removed. Its entry in the walked list is swapped for one
// that refuses everything, so the walk checks nothing.
//
// Single-threaded: the handles count their owners with plain integers.
// concurrent_router.hpp has the router that threads share.
#ifndef VESSA_ROUTER_HPP
#define VESSA_ROUTER_HPP

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include <vessa/batch.hpp>
#include <vessa/destination.hpp>
#include <vessa/destination_copy.hpp>
#include <vessa/listing_order.hpp>
#include <vessa/scoped_destination.hpp>
#include <vessa/tracking.hpp>

namespace vessa {

template <typename T>
class router {
public:
    class destination_handle;

    router() = default;
    ~router();

    // A member-wise copy would release the default handle twice.
    router(const router&) = delete;
    router& operator=(const router&) = delete;

    // Lists one copy (or move) of d: a class derived from destination<T>,
    // or any callable bool(const T&) such as a lambda or a function
    // pointer. Higher priorities are offered values first (see Order).
    template <typename D>
    destination_id add_destination(D&& d, unsigned priority = 1);

    // Lists d as add_destination does, and returns what removes it when
    // destroyed or assigned another. It may outlive the router.
    template <typename D>
    scoped_destination add_scoped_destination(D&& d, unsigned priority = 1);

    // Unlists the destination and returns true, or returns false when id
    // names nothing listed here (already removed, or another router's).
    bool remove_destination(destination_id id);

    // Pauses the destination: it is offered nothing until as many
    // unblocks as blocks have been made. Both return whether id names a
    // listed destination; unblocking one that is not blocked does nothing.
    bool block(destination_id id);
    bool unblock(destination_id id);

    // Keeps one copy (or move) of d, a destination class or callable, as
    // the destination of values nobody takes, releasing the previous one.
    template <typename D>
    void set_default_destination(D&& d);

    // Offers value to the listed destinations in order, then to the
    // default if none took it.
    void distribute(const T& value);

    // Offers *it, by reference to that very element. Any argument that is
    // not an iterator over T is routed as a value instead.
    template <typename Iter, typename = std::enable_if_t<detail::is_iterator_over<Iter, T>::value>>
    void distribute(Iter it);

    // Routes every element of [first, last) in order, each exactly as
    // distribute(it) would, reading the list anew only after a change.
    template <typename InputIt>
    void distribute(InputIt first, InputIt last);

    // Routes [first, last) in chunks of batch<T>::capacity values,
    // offering each destination in turn the values of a chunk that none
    // before it took, in one call (distribute_batch). Every destination is offered the
    // very values, in the very order, that distribute(first, last) would
    // offer it; only the interleaving across destinations differs, so
    // destinations that share state see another order. An addition made
    // while routing takes effect from the next chunk, a removal at once.
    // What nobody took in a chunk goes to the default installed when the
    // walk of the list for that chunk ends.
    void distribute_batch(const T* first, const T* last);
    // The same over a contiguous container: std::vector, std::array, ...
    template <typename Contiguous>
    void distribute_batch(const Contiguous& values);

    // Shares one heap-allocated destination among copies, deleting it with
    // the last of them. Lets the router's vector copy and reorder its
    // entries without ever copying a destination.
    class destination_handle {
    public:
        // Takes ownership of owned_target, which must come from new;
        // deletes it if the count cell cannot be allocated.
        destination_handle(destination<T>* owned_target, unsigned target_priority, detail::id_serial id_serial = {},
                           bool is_tracked = false);
        destination_handle(const destination_handle& other) noexcept;
        destination_handle& operator=(const destination_handle& other) noexcept;
        ~destination_handle();

        // Heap order: lower priority compares less, as unsigned integers.
        bool operator<(const destination_handle& other) const;

    private:
        friend class router;
        void destroy();

        destination<T>* target;
        int* ref_count;
        unsigned priority;
        // target is a detail::expiring<T>.
        bool tracked;
        detail::id_serial serial;
    };

private:
    struct changes_while_routing;
    class scope_link;

    // A blocked destination's own handle, while a stand-in takes its
    // place in the list.
    struct blocked_destination {
        destination_handle listed;
        unsigned depth;
    };

    // Counts the routing calls under way; the outermost one to return
    // releases what changes made meanwhile had to keep alive.
    class routing_scope {
    public:
        explicit routing_scope(router& routed) : owner(routed) { ++owner.routing_depth; }
        ~routing_scope()
        {
            if (--owner.routing_depth == 0 && owner.deferred)
                owner.release_deferred();
        }
        routing_scope(const routing_scope&) = delete;
        routing_scope& operator=(const routing_scope&) = delete;

    private:
        router& owner;
    };

    void distribute_chunk(batch<T>& chunk);

    // Offers value to [current, end) and says whether one of them took it.
    static bool offer_listed(const T& value, const destination_handle* current, const destination_handle* end);
    void offer_default(const T& value) const;

    // The rare path: changes made while routing, and their cleanup.
    [[gnu::cold, gnu::noinline]] changes_while_routing& changes();
    [[gnu::cold, gnu::noinline]] void detach_list(std::size_t extra_capacity);
    [[gnu::cold, gnu::noinline]] void release_deferred() noexcept;
    void replace_walked(detail::id_serial serial, const destination_handle& with) noexcept;
    void erase_listed(std::size_t index) noexcept;

    // The index of the listed entry id names, or the list's size.
    std::size_t listed_index(destination_id id) const;
    typename std::vector<blocked_destination>::iterator blocked_entry(detail::id_serial serial);
    bool remove_listed(destination_id id);
    [[gnu::cold, gnu::noinline]] void put_stand_in(std::size_t index);
    void retire_default();

    // Every change begins by unlisting the tracked destinations whose
    // object is gone.
    void drop_expired();
    [[gnu::cold, gnu::noinline]] void drop_expired_copies();

    std::vector<destination_handle> destinations;
    destination_handle* default_destination = nullptr;
    unsigned routing_depth = 0;
    // What changes made while routing keep alive; null when there are none.
    changes_while_routing* deferred = nullptr;
    std::vector<blocked_destination> blocked;
    // Tracked copies listed or installed as the default.
    std::size_t tracked_count = 0;
    // Made by the first add_scoped_destination; its end disarms them all.
    std::shared_ptr<scope_link> scopes;
};

// ---------------------------------------------------------------------
// Mechanics.

// What a change made while routing must keep alive until the outermost
// routing call returns: the lists being walked, the destinations removed
// from them, and replaced defaults.
template <typename T>
struct router<T>::changes_while_routing {
    destination_handle stand_in{new detail::refusing_stand_in<T>, 0};
    std::vector<std::vector<destination_handle>> walked_lists;
    std::vector<destination_handle> removed;
    std::vector<std::unique_ptr<destination_handle>> replaced_defaults;
};

// Removes for the scoped destinations of one router.
template <typename T>
class router<T>::scope_link final : public detail::scope_owner {
public:
    explicit scope_link(router& owning) : owner(owning) {}
    void remove_scoped(destination_id id) override { owner.remove_destination(id); }

private:
    router& owner;
};

template <typename T>
router<T>::~router()
{
    // First: a destination destroyed below may hold a scoped destination.
    scopes.reset();
    delete default_destination;
    delete deferred;
}

template <typename T>
template <typename D>
destination_id router<T>::add_destination(D&& d, unsigned priority)
{
    // Should anything below throw, the temporary releases the copy and the
    // list is left as it was.
    const destination_handle added(detail::new_destination<T>(std::forward<D>(d)), priority,
                                   destination_id::next_serial(), detail::is_tracking<std::decay_t<D>>::value);
    drop_expired();
    if (routing_depth != 0)
        detach_list(1);
    detail::add_in_order(destinations, added, std::less<destination_handle>());
    tracked_count += added.tracked;
    return destination_id(added.serial);
}

template <typename T>
template <typename D>
scoped_destination router<T>::add_scoped_destination(D&& d, unsigned priority)
{
    // Before adding: a failure here must not leave it listed unscoped.
    if (!scopes)
        scopes = std::make_shared<scope_link>(*this);
    return scoped_destination(scopes, add_destination(std::forward<D>(d), priority));
}

template <typename T>
bool router<T>::remove_destination(destination_id id)
{
    drop_expired();
    return remove_listed(id);
}

template <typename T>
bool router<T>::block(destination_id id)
{
    drop_expired();
    const std::size_t index = listed_index(id);
    if (index == destinations.size())
        return false;
    const auto found = blocked_entry(id.serial);
    if (found != blocked.end())
        ++found->depth;
    else
        put_stand_in(index);
    return true;
}

template <typename T>
bool router<T>::unblock(destination_id id)
{
    drop_expired();
    const std::size_t index = listed_index(id);
    if (index == destinations.size())
        return false;
    const auto found = blocked_entry(id.serial);
    if (found != blocked.end() && --found->depth == 0) {
        destinations[index] = found->listed;
        replace_walked(id.serial, found->listed);
        blocked.erase(found);
    }
    return true;
}

template <typename T>
template <typename D>
void router<T>::set_default_destination(D&& d)
{
    // The new handle is complete before the old one goes, so a failed
    // allocation keeps the previous default. The handle's storage is
    // allocated before the destination and is freed again if that throws.
    std::unique_ptr<destination_handle> replacement(
        new destination_handle(detail::new_destination<T>(std::forward<D>(d)), 1, detail::id_serial{},
                               detail::is_tracking<std::decay_t<D>>::value));
    drop_expired();
    retire_default();
    default_destination = replacement.release();
    tracked_count += default_destination->tracked;
}

template <typename T>
inline void router<T>::distribute(const T& value)
{
    const routing_scope scope(*this);
    const destination_handle* const begin = destinations.data();
    if (!offer_listed(value, begin, begin + destinations.size()))
        offer_default(value);
}

template <typename T>
template <typename Iter, typename>
void router<T>::distribute(Iter it)
{
    distribute(*it);
}

template <typename T>
template <typename InputIt>
inline void router<T>::distribute(InputIt first, InputIt last)
{
    const routing_scope scope(*this);
    // In locals: a call through a destination could otherwise have
    // changed the members, and the compiler would reload them per value.
    const destination_handle* begin = destinations.data();
    const destination_handle* end = begin + destinations.size();
    for (; first != last; ++first) {
        if (deferred) {
            // Something changed: the next element sees the new list, and
            // while no other routing is under way, what the change kept
            // alive can go now instead of piling up until the range ends.
            if (routing_depth == 1)
                release_deferred();
            begin = destinations.data();
            end = begin + destinations.size();
        }
        const T& value = *first;
        if (!offer_listed(value, begin, end))
            offer_default(value);
    }
}

template <typename T>
void router<T>::distribute_batch(const T* first, const T* last)
{
    const routing_scope scope(*this);
    while (first != last) {
        const std::size_t count = std::min(static_cast<std::size_t>(last - first), batch<T>::capacity);
        batch<T> chunk(first, count);
        distribute_chunk(chunk);
        first += count;
    }
}

template <typename T>
template <typename Contiguous>
void router<T>::distribute_batch(const Contiguous& values)
{
    const T* const first = std::data(values);
    distribute_batch(first, first + std::size(values));
}

// Chunk by chunk, as distribute(first, last) goes value by value.
template <typename T>
void router<T>::distribute_chunk(batch<T>& chunk)
{
    if (deferred && routing_depth == 1)
        release_deferred();
    const destination_handle* const begin = destinations.data();
    const destination_handle* const end = begin + destinations.size();
    for (const destination_handle* current = begin; current != end && !chunk.empty(); ++current) {
        chunk.offered = &current->target;
        chunk.offering = current->target;
        current->target->distribute_batch(chunk);
    }
    if (default_destination && !chunk.empty()) {
        chunk.offered = &default_destination->target;
        chunk.offering = default_destination->target;
        default_destination->target->distribute_batch(chunk);
    }
}

template <typename T>
bool router<T>::offer_listed(const T& value, const destination_handle* current, const destination_handle* const end)
{
    for (; current != end; ++current) {
        if (current->target->distribute(value))
            return true;
    }
    return false;
}

// Read after the walk: the walk may have replaced the default.
template <typename T>
void router<T>::offer_default(const T& value) const
{
    if (default_destination)
        default_destination->target->distribute(value);
}

template <typename T>
typename router<T>::changes_while_routing& router<T>::changes()
{
    if (!deferred)
        deferred = new changes_while_routing;
    return *deferred;
}

// Routing calls under way may be walking the list: it moves, buffer and
// all, to the walked lists, and the router goes on with a copy that has
// room for extra_capacity more entries.
template <typename T>
void router<T>::detach_list(std::size_t extra_capacity)
{
    changes_while_routing& kept = changes();
    std::vector<destination_handle> copy;
    copy.reserve(destinations.size() + extra_capacity);
    copy.assign(destinations.begin(), destinations.end());
    kept.walked_lists.reserve(kept.walked_lists.size() + 1);
    kept.walked_lists.emplace_back().swap(destinations);
    destinations.swap(copy);
}

// Walks under way meet with in place of the entry serial names, from
// their next step on.
template <typename T>
void router<T>::replace_walked(detail::id_serial serial, const destination_handle& with) noexcept
{
    if (!deferred)
        return;
    for (std::vector<destination_handle>& walked : deferred->walked_lists) {
        for (destination_handle& h : walked) {
            if (h.serial == serial)
                h = with;
        }
    }
}

template <typename T>
std::size_t router<T>::listed_index(destination_id id) const
{
    const auto listed = std::find_if(destinations.begin(), destinations.end(),
                                     [id](const destination_handle& h) { return h.serial == id.serial; });
    return !id.serial ? destinations.size() : static_cast<std::size_t>(listed - destinations.begin());
}

template <typename T>
typename std::vector<typename router<T>::blocked_destination>::iterator
router<T>::blocked_entry(detail::id_serial serial)
{
    return std::find_if(blocked.begin(), blocked.end(),
                        [serial](const blocked_destination& b) { return b.listed.serial == serial; });
}

template <typename T>
bool router<T>::remove_listed(destination_id id)
{
    const std::size_t index = listed_index(id);
    if (index == destinations.size())
        return false;
    const auto found = blocked_entry(id.serial);
    const destination_handle removed = found != blocked.end() ? found->listed : destinations[index];
    if (routing_depth != 0) {
        // Every allocation comes first, so a failure leaves all as it was.
        changes_while_routing& kept = changes();
        kept.removed.reserve(kept.removed.size() + 1);
        detach_list(0);
        // The removed copy stays alive for the walks under way, which
        // meet the stand-in in its place from now on.
        kept.removed.push_back(removed);
        replace_walked(id.serial, kept.stand_in);
    }
    if (found != blocked.end())
        blocked.erase(found);
    tracked_count -= removed.tracked;
    erase_listed(index);
    return true;
}

// A stand-in of the blocked entry's own, with its priority and id, takes
// its place in the list and in the walks under way.
template <typename T>
void router<T>::put_stand_in(std::size_t index)
{
    destination_handle& listed = destinations[index];
    const destination_handle stand_in(new detail::refusing_stand_in<T>, listed.priority, listed.serial);
    blocked.push_back({listed, 1});
    replace_walked(listed.serial, stand_in);
    listed = stand_in;
}

// The default goes; while routing it may be the very destination running.
template <typename T>
void router<T>::retire_default()
{
    if (!default_destination)
        return;
    if (routing_depth != 0)
        changes().replaced_defaults.emplace_back(default_destination);
    tracked_count -= default_destination->tracked;
    if (routing_depth == 0)
        delete default_destination;
    default_destination = nullptr;
}

template <typename T>
inline void router<T>::drop_expired()
{
    if (tracked_count != 0)
        drop_expired_copies();
}

template <typename T>
void router<T>::drop_expired_copies()
{
    const auto expired = [](const destination_handle& h) {
        return h.tracked && static_cast<const detail::expiring<T>*>(h.target)->expired();
    };
    // Ids first: each removal reorders the list.
    std::vector<destination_id> gone;
    for (const destination_handle& h : destinations) {
        if (expired(h))
            gone.push_back(destination_id(h.serial));
    }
    for (const blocked_destination& b : blocked) {
        if (expired(b.listed))
            gone.push_back(destination_id(b.listed.serial));
    }
    for (const destination_id id : gone)
        remove_listed(id);
    if (default_destination && expired(*default_destination))
        retire_default();
}

template <typename T>
void router<T>::release_deferred() noexcept
{
    changes_while_routing* const kept = deferred;
    deferred = nullptr;
    delete kept;
}

template <typename T>
void router<T>::erase_listed(std::size_t index) noexcept
{
    detail::erase_in_order(
        destinations, index, std::less<destination_handle>(),
        [](const destination_handle& a, const destination_handle& b) { return a.serial < b.serial; });
}

template <typename T>
router<T>::destination_handle::destination_handle(destination<T>* owned_target, unsigned target_priority,
                                                  detail::id_serial id_serial, bool is_tracked)
    : target(owned_target), ref_count(nullptr), priority(target_priority), tracked(is_tracked), serial(id_serial)
{
    try {
        ref_count = new int(1);
    } catch (...) {
        delete owned_target;
        throw;
    }
}

template <typename T>
router<T>::destination_handle::destination_handle(const destination_handle& other) noexcept
    : target(other.target), ref_count(other.ref_count), priority(other.priority), tracked(other.tracked),
      serial(other.serial)
{
    ++*ref_count;
}

template <typename T>
typename router<T>::destination_handle&
router<T>::destination_handle::operator=(const destination_handle& other) noexcept
{
    // Counting the new owner before releasing the old one keeps
    // self-assignment, and assignment between sharers, from freeing.
    ++*other.ref_count;
    destroy();
    target = other.target;
    ref_count = other.ref_count;
    priority = other.priority;
    tracked = other.tracked;
    serial = other.serial;
    return *this;
}

template <typename T>
router<T>::destination_handle::~destination_handle()
{
    destroy();
}

template <typename T>
bool router<T>::destination_handle::operator<(const destination_handle& other) const
{
    return priority < other.priority;
}

// GCC 12 warns, wrongly, that a count cell may be used after it is freed
// when destroy() is inlined into push_heap: it follows a path on which
// the count reaches zero while another handle still shares the cell, which
// the counting rules rule out. The warning is off for this function alone.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif

// Leaves the fields as they were: callers either overwrite them or are
// about to end the handle's life.
template <typename T>
void router<T>::destination_handle::destroy()
{
    if (--*ref_count != 0)
        return;
    delete ref_count;
    delete target;
}

#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

} // namespace vessa

#endif
