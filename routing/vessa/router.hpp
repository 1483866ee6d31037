// vessa: route each value to the first destination that takes it.
//
// A router holds destinations ordered by priority plus an optional default.
// It offers a value to its destinations in turn, stops at the first that
// takes it, and hands the value to the default when none does. Its calls
// are router_front's (router_front.hpp); this header is how it keeps them.
//
//     vessa::router<int> r;
//     auto small = r.add_destination([](const int& v) { return v < 10; }, 2);
//     r.add_destination(even_numbers(), 1);      // a vessa::destination<int>
//     r.add_destination(&counter::on, &c, 1);    // c.on(v), a member function
//     r.set_default_destination([&](const int& v) { rest.push_back(v); return true; });
//     vessa::distribution d = r.distribute(42);  // d.result, d.taker
//     r.distribute(values.begin());               // *it, by reference
//     r.distribute(values.begin(), values.end()); // every value, in order
//     r.distribute_batch(values);                 // the same, a chunk per call
//     r.remove_destination(small);
//
// Lifetimes. add_scoped_destination returns a scoped_destination, which
// removes the destination when it is destroyed or assigned another
// (scoped_destination.hpp); vessa::tracking(weak, d), or a member function
// given with a shared_ptr or weak_ptr, makes a destination that ends with
// its object (tracking.hpp); block(id) pauses a destination and unblock(id)
// resumes it:
//
//     vessa::scoped_destination scope = r.add_scoped_destination([](const int& v) { return v < 0; });
//     r.add_destination(&session::on, shared_session);   // tracked
//     r.block(small);                             // offered nothing now
//     r.unblock(small);                           // blocks nest: one unblock each
//
// Order. By default (listing::heap) the list is a binary max-heap in array
// order, as std::push_heap leaves it, and values are offered in that array
// order: the first has a highest priority, but the rest are not sorted.
// Equal priorities keep the order they were added in only while every
// priority is equal: priorities 1, 1, 2 added as a, b, c are offered c, b,
// a. After a removal or set_priority, the order is the one that adding the
// remaining destinations again, in the order they were first added, would
// give. A router made with listing::sorted offers the highest priority
// first and equal priorities in the order they were added, always.
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
//     unblocked before its turn is offered the value;
//   - set_priority leaves the walks under way in the order they began
//     with; clear() makes them skip every destination not yet offered.
// A destination's copy is destroyed once nothing lists it and no routing
// under way can reach it: at the latest when the outermost routing call
// returns. An exception thrown by a destination leaves the routing call,
// unless the router was made with an exception_handler; either way the
// router stays usable and leaks nothing. Destroying the router from
// inside one of its own destinations is not allowed.
//
// Tracked destinations. Once its object is gone, a tracked destination
// refuses every value without being called; at the next change (an add,
// a removal, a new default, a block, an unblock or a change of priority)
// the router unlists it
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

#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include <vessa/batch.hpp>
#include <vessa/destination.hpp>
#include <vessa/destination_copy.hpp>
#include <vessa/exception_handler.hpp>
#include <vessa/listing_order.hpp>
#include <vessa/router_front.hpp>
#include <vessa/scoped_destination.hpp>
#include <vessa/tracking.hpp>

namespace vessa {

template <typename T>
class router : public router_front<router<T>, T> {
public:
    class destination_handle;

    // Lists in heap order and lets exceptions propagate.
    router() = default;
    explicit router(listing order, exception_handler handler = {});
    // Lists in heap order; reports exceptions to handler and goes on.
    explicit router(exception_handler handler);
    ~router();

    // A member-wise copy would release the default handle twice.
    router(const router&) = delete;
    router& operator=(const router&) = delete;

    // Shares one heap-allocated destination among copies, deleting it with
    // the last of them. Lets the router's vector copy and reorder its
    // entries without ever copying a destination. A small copy lives in
    // one of the router's slots instead, with its count, and the last
    // handle gives the slot back; every handle ends before the router.
    class destination_handle {
    public:
        // Takes ownership of owned_target, which must come from new;
        // deletes it if the count cell cannot be allocated.
        destination_handle(destination<T>* owned_target, unsigned target_priority, detail::id_serial id_serial = {},
                           bool is_tracked = false);
        destination_handle(const destination_handle& other) noexcept;
        destination_handle& operator=(const destination_handle& other) noexcept;
        // Swaps: the vector's shifts and the heap's sifts then move entries
        // without touching a count.
        destination_handle& operator=(destination_handle&& other) noexcept;
        ~destination_handle();

        // Heap order: lower priority compares less, as unsigned integers.
        bool operator<(const destination_handle& other) const;

    private:
        friend class router;
        // Owns the copy made in slot, and counts itself in it.
        destination_handle(detail::copy_slot& slot, destination<T>* copy, unsigned target_priority,
                           detail::id_serial id_serial, bool is_tracked) noexcept;
        void destroy();
        void end_copy();

        destination<T>* target;
        int* ref_count;
        unsigned priority;
        // target is a detail::expiring<T>.
        bool tracked;
        // target and ref_count are in a detail::copy_slot.
        bool in_slot;
        detail::id_serial serial;
    };

private:
    using front = router_front<router<T>, T>;
    friend front;
    using typename front::listed_state;
    using typename front::scope_link;
    struct changes_while_routing;
    class walk;

    // A blocked destination's own handle, while a stand-in takes its
    // place in the list.
    struct blocked_destination {
        destination_handle listed;
        unsigned depth;
    };

    // What the front calls (router_front.hpp); list_in_slot for a D that
    // fits a slot.
    static constexpr bool keeps_small_copies = true;
    template <bool Tracked>
    destination_id list(std::unique_ptr<destination<T>> copy, unsigned priority, std::bool_constant<Tracked> tracked);
    template <typename D, bool Tracked>
    destination_id list_in_slot(D&& d, unsigned priority, std::bool_constant<Tracked> tracked);
    destination_id list_handle(const destination_handle& added);
    bool unlist(destination_id id);
    bool change_priority(destination_id id, unsigned priority);
    bool block_listed(destination_id id);
    bool unblock_listed(destination_id id);
    template <bool Tracked>
    bool install_default(std::unique_ptr<destination<T>> copy, std::bool_constant<Tracked> tracked);
    void unlist_all();
    std::shared_ptr<scope_link> scopes_made();
    void remove_scoped(destination_id id) { unlist(id); }
    std::size_t listed_count() const { return destinations.size(); }
    bool default_installed() const { return default_destination != nullptr; }
    std::optional<listed_state> state_of(destination_id id) const;

    // The rare path: changes made while routing, and their cleanup.
    [[gnu::cold, gnu::noinline]] changes_while_routing& changes();
    [[gnu::cold, gnu::noinline]] void detach_list(std::size_t extra_capacity);
    [[gnu::cold, gnu::noinline]] void release_deferred() noexcept;
    void replace_walked(detail::id_serial serial, const destination_handle& with) noexcept;
    [[gnu::cold, gnu::noinline]] void unlist_all_while_routing();
    void erase_listed(std::size_t index) noexcept;

    // The index of the listed entry id names, or the list's size.
    std::size_t listed_index(destination_id id) const;
    typename std::vector<blocked_destination>::iterator blocked_entry(detail::id_serial serial);
    bool remove_listed(destination_id id);
    [[gnu::cold, gnu::noinline]] void put_stand_in(std::size_t index);
    void retire_default();

    // Every change begins by unlisting the tracked destinations whose
    // object is gone. Only a program that lists a tracked copy arms the
    // sweep, so only such a program compiles it.
    void drop_expired();
    template <bool Tracked>
    void arm_sweep(std::bool_constant<Tracked>);
    [[gnu::cold, gnu::noinline]] void drop_expired_copies();
    // Ids come from the process's counter in blocks, sparing each add its
    // atomic step.
    detail::id_serial draw_serial();

    // Objects, not functions, so that the order's algorithms inline them.
    struct lower_priority {
        bool operator()(const destination_handle& a, const destination_handle& b) const { return a < b; }
    };
    struct added_earlier {
        bool operator()(const destination_handle& a, const destination_handle& b) const { return a.serial < b.serial; }
    };
    static constexpr lower_priority lower{};
    static constexpr added_earlier earlier{};

    std::vector<destination_handle> destinations;
    destination_handle* default_destination = nullptr;
    unsigned routing_depth = 0;
    // What changes made while routing keep alive; null when there are none.
    changes_while_routing* deferred = nullptr;
    std::vector<blocked_destination> blocked_handles;
    // Tracked copies listed or installed as the default.
    std::size_t tracked_count = 0;
    void (*sweep_expired)(router&) = nullptr;
    detail::id_serial next_serial;
    unsigned spare_serials = 0;
    // Made by the first scoped destination or block; its end disarms them.
    std::shared_ptr<scope_link> scopes;
    // Last, so that the members a routing walk reads keep their offsets;
    // the destructor ends every handle before it.
    detail::copy_slots slots;
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

// One routing call's walk of the list. The calls under way are counted,
// and the outermost one to return releases what changes made meanwhile
// had to keep alive.
template <typename T>
class router<T>::walk {
public:
    using entry = destination_handle;

    explicit walk(router& routed) : owner(routed)
    {
        ++owner.routing_depth;
        load();
    }
    // Inlined on the way out of an exception too: called out of line
    // there, it would need the walk in memory for every value.
    [[gnu::always_inline]] ~walk()
    {
        if (--owner.routing_depth == 0 && owner.deferred)
            owner.release_deferred();
    }
    walk(const walk&) = delete;
    walk& operator=(const walk&) = delete;

    // In members of the walk, not read from the router: a call through a
    // destination could otherwise have changed the router's, and the
    // compiler would reload them per value.
    const entry* begin() const { return first; }
    const entry* end() const { return last; }
    static destination<T>* target(const entry& e) { return e.target; }
    static destination_id id_of(const entry* e) { return destination_id(e->serial); }
    // Read after the walk: the walk may have replaced the default.
    bool offer_default(const T& value) const
    {
        const destination_handle* const fallback = owner.default_destination;
        if (!fallback)
            return false;
        fallback->target->distribute(value);
        return true;
    }

    // Something changed: the next value sees the new list, and while no
    // other routing is under way, what the change kept alive can go now
    // instead of piling up until the range ends.
    void refresh()
    {
        if (!owner.deferred)
            return;
        if (owner.routing_depth == 1)
            owner.release_deferred();
        load();
    }

    void offer_listed_chunk(batch<T>& chunk) const
    {
        for (const entry* current = first; current != last && !chunk.empty(); ++current) {
            chunk.offered = &current->target;
            chunk.offering = current->target;
            current->target->distribute_batch(chunk);
        }
    }
    bool offer_default_chunk(batch<T>& chunk) const
    {
        const destination_handle* const fallback = owner.default_destination;
        if (!fallback)
            return false;
        chunk.offered = &fallback->target;
        chunk.offering = fallback->target;
        fallback->target->distribute_batch(chunk);
        return true;
    }

private:
    void load()
    {
        first = owner.destinations.data();
        last = first + owner.destinations.size();
    }

    router& owner;
    const entry* first;
    const entry* last;
};

template <typename T>
router<T>::router(listing order, exception_handler handler) : front(order, std::move(handler))
{
}

template <typename T>
router<T>::router(exception_handler handler) : front(listing::heap, std::move(handler))
{
}

template <typename T>
router<T>::~router()
{
    // First: a destination destroyed below may hold a scoped destination.
    scopes.reset();
    delete default_destination;
    delete deferred;
    // Before the slots they may hold, in the order the members' own
    // destructors would end them.
    blocked_handles.clear();
    destinations.clear();
}

template <typename T>
template <bool Tracked>
destination_id
router<T>::list(std::unique_ptr<destination<T>> copy, unsigned priority, std::bool_constant<Tracked> tracked)
{
    arm_sweep(tracked);
    return list_handle(destination_handle(copy.release(), priority, draw_serial(), Tracked));
}

// A copy that throws gives the slot back, and the router is as it was.
template <typename T>
template <typename D, bool Tracked>
destination_id router<T>::list_in_slot(D&& d, unsigned priority, std::bool_constant<Tracked> tracked)
{
    arm_sweep(tracked);
    detail::copy_slot& slot = slots.take();
    destination<T>* copy;
    try {
        copy = detail::slot_destination<T>(slot, std::forward<D>(d));
    } catch (...) {
        slots.give_back(slot);
        throw;
    }
    return list_handle(destination_handle(slot, copy, priority, draw_serial(), Tracked));
}

// Should anything below throw, the caller's temporary releases the copy
// and the list is left as it was.
template <typename T>
destination_id router<T>::list_handle(const destination_handle& added)
{
    drop_expired();
    if (routing_depth != 0)
        detach_list(1);
    detail::add_in_order(destinations, added, lower, this->order());
    tracked_count += added.tracked;
    return destination_id(added.serial);
}

template <typename T>
bool router<T>::unlist(destination_id id)
{
    drop_expired();
    return remove_listed(id);
}

// Walks under way keep the order they began with: the list is reordered
// in a copy.
template <typename T>
bool router<T>::change_priority(destination_id id, unsigned priority)
{
    drop_expired();
    const std::size_t index = listed_index(id);
    if (index == destinations.size())
        return false;
    if (routing_depth != 0)
        detach_list(0);
    destinations[index].priority = priority;
    const auto found = blocked_entry(id.serial);
    if (found != blocked_handles.end())
        found->listed.priority = priority;
    detail::reorder_changed(destinations, index, lower, earlier, this->order());
    return true;
}

template <typename T>
bool router<T>::block_listed(destination_id id)
{
    drop_expired();
    const std::size_t index = listed_index(id);
    if (index == destinations.size())
        return false;
    const auto found = blocked_entry(id.serial);
    if (found != blocked_handles.end())
        ++found->depth;
    else
        put_stand_in(index);
    return true;
}

template <typename T>
bool router<T>::unblock_listed(destination_id id)
{
    drop_expired();
    const std::size_t index = listed_index(id);
    if (index == destinations.size())
        return false;
    const auto found = blocked_entry(id.serial);
    if (found != blocked_handles.end() && --found->depth == 0) {
        destinations[index] = found->listed;
        replace_walked(id.serial, found->listed);
        blocked_handles.erase(found);
    }
    return true;
}

template <typename T>
template <bool Tracked>
bool router<T>::install_default(std::unique_ptr<destination<T>> copy, std::bool_constant<Tracked> tracked)
{
    arm_sweep(tracked);
    // The new handle is complete before the old one goes, so a failed
    // allocation keeps the previous default. The handle's storage is
    // allocated before the copy is handed over, which a failure frees.
    std::unique_ptr<destination_handle> replacement;
    if (copy)
        replacement.reset(new destination_handle(copy.release(), 1, detail::id_serial{}, Tracked));
    drop_expired();
    const bool replaced = default_destination != nullptr;
    retire_default();
    default_destination = replacement.release();
    tracked_count += default_destination && default_destination->tracked;
    return replaced;
}

// The unlisted go last, once the router is consistent: their destructors
// may change it.
template <typename T>
void router<T>::unlist_all()
{
    if (routing_depth != 0)
        unlist_all_while_routing();
    std::vector<destination_handle> unlisted;
    unlisted.swap(destinations);
    std::vector<blocked_destination> unblocked;
    unblocked.swap(blocked_handles);
    retire_default();
    tracked_count = 0;
}

template <typename T>
auto router<T>::scopes_made() -> std::shared_ptr<scope_link>
{
    if (!scopes)
        scopes = std::make_shared<scope_link>(*this);
    return scopes;
}

template <typename T>
auto router<T>::state_of(destination_id id) const -> std::optional<listed_state>
{
    const std::size_t index = listed_index(id);
    if (index == destinations.size())
        return std::nullopt;
    const bool is_blocked
        = front::index_of(blocked_handles, id, [](const blocked_destination& b) { return b.listed.serial; })
          != blocked_handles.size();
    return listed_state{destinations[index].priority, is_blocked};
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
// their next step on. The entry keeps its id: a walk that met the
// destination still names it in its result.
template <typename T>
void router<T>::replace_walked(detail::id_serial serial, const destination_handle& with) noexcept
{
    if (!deferred)
        return;
    for (std::vector<destination_handle>& walked : deferred->walked_lists) {
        for (destination_handle& h : walked) {
            if (h.serial == serial) {
                h = with;
                h.serial = serial;
            }
        }
    }
}

// The walks under way go on in the lists they walk, and meet a stand-in
// in place of every entry; the removed stay alive until they return.
template <typename T>
void router<T>::unlist_all_while_routing()
{
    changes_while_routing& kept = changes();
    kept.removed.reserve(kept.removed.size() + destinations.size());
    kept.walked_lists.reserve(kept.walked_lists.size() + 1);
    for (const destination_handle& h : destinations) {
        const auto found = blocked_entry(h.serial);
        kept.removed.push_back(found != blocked_handles.end() ? found->listed : h);
    }
    kept.walked_lists.emplace_back().swap(destinations);
    for (std::vector<destination_handle>& walked : kept.walked_lists) {
        for (destination_handle& h : walked) {
            const detail::id_serial serial = h.serial;
            h = kept.stand_in;
            h.serial = serial;
        }
    }
}

template <typename T>
std::size_t router<T>::listed_index(destination_id id) const
{
    return front::index_of(destinations, id, [](const destination_handle& h) { return h.serial; });
}

template <typename T>
typename std::vector<typename router<T>::blocked_destination>::iterator
router<T>::blocked_entry(detail::id_serial serial)
{
    const auto serial_of = [](const blocked_destination& b) { return b.listed.serial; };
    return blocked_handles.begin() + front::index_of(blocked_handles, destination_id(serial), serial_of);
}

template <typename T>
bool router<T>::remove_listed(destination_id id)
{
    const std::size_t index = listed_index(id);
    if (index == destinations.size())
        return false;
    const auto found = blocked_entry(id.serial);
    const destination_handle removed = found != blocked_handles.end() ? found->listed : destinations[index];
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
    if (found != blocked_handles.end())
        blocked_handles.erase(found);
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
    blocked_handles.push_back({listed, 1});
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
        sweep_expired(*this);
}

template <typename T>
template <bool Tracked>
void router<T>::arm_sweep(std::bool_constant<Tracked>)
{
    if constexpr (Tracked)
        sweep_expired = [](router& swept) { swept.drop_expired_copies(); };
}

template <typename T>
detail::id_serial router<T>::draw_serial()
{
    constexpr unsigned block = 64;
    if (spare_serials == 0) {
        next_serial = destination_id::next_serials(block);
        spare_serials = block;
    }
    --spare_serials;
    const detail::id_serial drawn = next_serial;
    ++next_serial.count;
    return drawn;
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
    for (const blocked_destination& b : blocked_handles) {
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
    detail::erase_in_order(destinations, index, lower, earlier, this->order());
}

template <typename T>
router<T>::destination_handle::destination_handle(destination<T>* owned_target, unsigned target_priority,
                                                  detail::id_serial id_serial, bool is_tracked)
    : target(owned_target), ref_count(nullptr), priority(target_priority), tracked(is_tracked), in_slot(false),
      serial(id_serial)
{
    try {
        ref_count = new int(1);
    } catch (...) {
        delete owned_target;
        throw;
    }
}

template <typename T>
router<T>::destination_handle::destination_handle(detail::copy_slot& slot, destination<T>* copy,
                                                  unsigned target_priority, detail::id_serial id_serial,
                                                  bool is_tracked) noexcept
    : target(copy), ref_count(&slot.count), priority(target_priority), tracked(is_tracked), in_slot(true),
      serial(id_serial)
{
    *ref_count = 1;
}

template <typename T>
router<T>::destination_handle::destination_handle(const destination_handle& other) noexcept
    : target(other.target), ref_count(other.ref_count), priority(other.priority), tracked(other.tracked),
      in_slot(other.in_slot), serial(other.serial)
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
    in_slot = other.in_slot;
    serial = other.serial;
    return *this;
}

template <typename T>
typename router<T>::destination_handle& router<T>::destination_handle::operator=(destination_handle&& other) noexcept
{
    std::swap(target, other.target);
    std::swap(ref_count, other.ref_count);
    std::swap(priority, other.priority);
    std::swap(tracked, other.tracked);
    std::swap(in_slot, other.in_slot);
    std::swap(serial, other.serial);
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
    if (in_slot) {
        end_copy();
        return;
    }
    delete ref_count;
    delete target;
}

// The copy ends before its slot is free: its destructor may change the
// router, and take slots.
template <typename T>
void router<T>::destination_handle::end_copy()
{
    detail::copy_slot& slot = *reinterpret_cast<detail::copy_slot*>(ref_count);
    target->~destination();
    slot.owner->give_back(slot);
}

#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

} // namespace vessa

#endif
