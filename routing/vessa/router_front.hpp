// vessa: the calls every router offers, written once.
//
// router<T> and concurrent_router<T> derive from router_front<Router, T>,
// which gives them their public interface: listing, blocking and removing
// destinations, the default, the questions, and routing with its result.
// Each router supplies only what differs between them: how it lists and
// unlists a copy, how it answers a question, and how it walks its list
// (see "What a router supplies" below).
//
// What became of a value. distribute(value) returns a distribution: taken
// by a listed destination (and which), offered to the default, or
// dropped. A range and a batch return the counts of each. The walk knows
// where it stopped, so the result costs nothing more per value, and
// ignoring it compiles to what routing without one did.
//
// Exceptions. By default an exception thrown by a destination leaves the
// routing call (propagate). A router made with an exception_handler
// reports and goes on instead: the handler is called with the exception
// and the thrower's id (the default's names nothing), the value goes on to
// the next destination and, if none takes it, to the default, and the
// result counts how many threw. The policy is chosen once per routing
// call, so propagating pays for no try block in its walk.
#ifndef VESSA_ROUTER_FRONT_HPP
#define VESSA_ROUTER_FRONT_HPP

#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector> // std::data and std::size, which <vector> declares

#include <vessa/batch.hpp>
#include <vessa/destination.hpp>
#include <vessa/destination_copy.hpp>
#include <vessa/exception_handler.hpp>
#include <vessa/listing_order.hpp>
#include <vessa/scoped_destination.hpp>
#include <vessa/tracking.hpp>

namespace vessa {

// What became of one value.
enum class outcome : unsigned char {
    taken,     // by a listed destination
    defaulted, // nobody listed took it; the default was offered it
    dropped,   // nobody listed took it, and there was no default
};

struct distribution {
    outcome result = outcome::dropped;
    // How many destinations threw while offered it, with an exception
    // handler; always 0 without one.
    unsigned threw = 0;
    // The listed destination that took it; names nothing otherwise.
    destination_id taker;
};

// What became of the values of a range or a batch.
struct distribution_counts {
    std::size_t taken = 0;
    std::size_t defaulted = 0;
    std::size_t dropped = 0;
    std::size_t threw = 0;
};

namespace detail {
template <typename Member>
using if_member_function = std::enable_if_t<std::is_member_function_pointer_v<Member>>;
} // namespace detail

template <typename Router, typename T>
class router_front {
public:
    // --- Listing. A priority is an unsigned int; higher ones are offered
    // values first, in the router's listing order.

    // Lists one copy (or move) of d: a class derived from destination<T>,
    // a take_if, a tracking, or any callable bool(const T&).
    template <typename D>
    destination_id add_destination(D&& d, unsigned priority = 1);

    // Lists (object->*on)(value), on a member function of C whose result
    // converts to bool. With a shared_ptr or weak_ptr the destination
    // tracks the object as tracking does: it keeps no reference to it, is
    // called only while it can be locked, and is dropped once it is gone.
    template <typename Member, typename C, typename = detail::if_member_function<Member>>
    destination_id add_destination(Member on, C* object, unsigned priority = 1);
    template <typename Member, typename C, typename = detail::if_member_function<Member>>
    destination_id add_destination(Member on, const std::shared_ptr<C>& object, unsigned priority = 1);
    template <typename Member, typename C, typename = detail::if_member_function<Member>>
    destination_id add_destination(Member on, const std::weak_ptr<C>& object, unsigned priority = 1);

    // Lists what add_destination lists, given the same arguments, and
    // returns what removes it when destroyed or assigned another; it may
    // outlive the router.
    template <typename... Arguments>
    [[nodiscard]] scoped_destination add_scoped_destination(Arguments&&... arguments);

    // Unlists the destination and returns true, or returns false when id
    // names nothing listed here (already removed, or another router's).
    bool remove_destination(destination_id id);

    // Gives the destination another priority, keeping its id, its blocks
    // and, among equal priorities, its place by the order of adding.
    // Returns whether id names a listed destination.
    bool set_priority(destination_id id, unsigned priority);

    // Pauses the destination: it is offered nothing until as many
    // unblocks as blocks have been made. Both return whether id names a
    // listed destination; unblocking one that is not blocked does nothing.
    bool block(destination_id id);
    bool unblock(destination_id id);
    // Blocks the destination, and returns what unblocks it once when
    // destroyed or assigned another; it names nothing if id did not.
    [[nodiscard]] scoped_block block_scoped(destination_id id);

    // Keeps one copy (or move) of d, a destination class or callable, as
    // the destination of values nobody takes, releasing the previous one.
    template <typename D>
    void set_default_destination(D&& d);
    // Releases the default, if any; returns whether there was one.
    bool remove_default_destination();

    // Unlists every destination and releases the default.
    void clear();

    // --- Questions. A tracked destination whose object is gone is still
    // counted until the next change unlists it.

    // How many destinations are listed, blocked ones included.
    std::size_t size() const;
    bool empty() const;
    bool contains(destination_id id) const;
    // Its priority, or nothing when id names nothing listed.
    std::optional<unsigned> priority(destination_id id) const;
    // Whether it is listed and blocked.
    bool blocked(destination_id id) const;
    bool has_default() const;
    listing order() const { return listing_order; }

    // --- Routing.

    // Offers value to the listed destinations in order, then to the
    // default if none took it; says what became of it.
    distribution distribute(const T& value);

    // Offers *it, by reference to that very element. Any argument that is
    // not an iterator over T is converted to T and routed as a value.
    template <typename Iter, typename = std::enable_if_t<detail::is_iterator_over<Iter, T>::value>>
    distribution distribute(Iter it);

    // Routes every element of [first, last) in order, each exactly as
    // distribute(it) would, reading the list anew only after a change.
    template <typename InputIt>
    distribution_counts distribute(InputIt first, InputIt last);

    // Routes [first, last) in chunks of batch<T>::capacity values,
    // offering each destination in turn the values of a chunk that none
    // before it took, in one call (distribute_batch). While nothing
    // changes, every destination is offered the very values, in the very
    // order, that
    // distribute(first, last) would offer it; only the interleaving across
    // destinations differs, so destinations that share state see another
    // order. An addition made while routing takes effect from the next
    // chunk, a removal at once; the order a change leaves, from the next
    // chunk too. What nobody took in a chunk goes to the
    // default installed when the walk of the list for that chunk ends.
    // With an exception handler, routes value by value instead, as
    // distribute(first, last) does.
    distribution_counts distribute_batch(const T* first, const T* last);
    // The same over a contiguous container: std::vector, std::array, ...
    template <typename Contiguous>
    distribution_counts distribute_batch(const Contiguous& values);

protected:
    explicit router_front(listing order_kind = listing::heap, exception_handler handler = {});
    ~router_front() = default;
    router_front(const router_front&) = delete;
    router_front& operator=(const router_front&) = delete;

    // What a router answers a question about one listed destination with.
    struct listed_state {
        unsigned priority;
        bool blocked;
    };

    // Removes and unblocks for the scoped destinations and blocks of one
    // router; the router's destructor destroys it first, which disarms them.
    class scope_link;

    // The index of the entry that id names, by serial_of(entry), or the
    // size of entries when it names none.
    template <typename Entries, typename SerialOf>
    static std::size_t index_of(const Entries& entries, destination_id id, SerialOf serial_of);

    // What a router supplies, as private members with this class a friend:
    //   destination_id list(std::unique_ptr<destination<T>> copy,
    //                       unsigned priority, bool tracked);
    //   (tracked comes as a std::bool_constant, which a router may take
    //   as a bool or keep to know at compile time)
    //   and, with keeps_small_copies true, for a D that fits a slot:
    //   destination_id list_in_slot(D&&, unsigned priority, bool tracked);
    //   bool unlist(destination_id);
    //   bool change_priority(destination_id, unsigned priority);
    //   bool block_listed(destination_id);
    //   bool unblock_listed(destination_id);
    //   bool install_default(std::unique_ptr<destination<T>> copy_or_null,
    //                        bool tracked);   // whether one was replaced
    //   void unlist_all();                    // the default too
    //   std::shared_ptr<scope_link> scopes_made();
    //   void remove_scoped(destination_id);   // a scoped destination ends
    //   std::size_t listed_count() const;
    //   bool default_installed() const;
    //   std::optional<listed_state> state_of(destination_id) const;
    // and a class walk, one per routing call, made from the router:
    //   using entry = ...;                    // what the walked list holds
    //   const entry* begin() const; const entry* end() const;
    //   static destination<T>* target(const entry&);
    //   destination_id id_of(const entry*) const;
    //   bool offer_default(const T&) const;   // false when there is none;
    //                                         // the default read after the walk
    //   void refresh();                       // before each value of a range
    //                                         // and each chunk of a batch
    //   void offer_listed_chunk(batch<T>&);
    //   bool offer_default_chunk(batch<T>&);  // false when there is none

private:
    Router& self() { return static_cast<Router&>(*this); }
    const Router& self() const { return static_cast<const Router&>(*this); }

    [[gnu::noinline]] distribution distribute_reporting(const T& value);
    template <bool Reporting, typename InputIt>
    distribution_counts offer_range(InputIt first, InputIt last);
    template <bool Reporting, typename Walk>
    distribution offer(const T& value, const Walk& walk);
    // Inlined into its walk's loop: passed the walk by reference, the loop
    // would keep the walk in memory.
    template <typename Walk>
    [[gnu::always_inline]] distribution offer_reporting(const T& value, const Walk& walk);
    [[gnu::cold]] void report(destination_id thrower) const;

protected:
    // A router that keeps small copies in slots hides this with true.
    static constexpr bool keeps_small_copies = false;

private:
    listing listing_order;
    exception_handler on_exception;
};

// ---------------------------------------------------------------------
// Mechanics.

namespace detail {
// Calls a member function of an object; the pointer may be null only
// where the call cannot happen (a tracked object that is gone).
template <typename Member, typename C>
struct member_call {
    Member on;
    C* object;

    template <typename V>
    bool operator()(const V& value) const
    {
        return static_cast<bool>((object->*on)(value));
    }
};
} // namespace detail

template <typename Router, typename T>
class router_front<Router, T>::scope_link final : public detail::scope_owner, public detail::block_owner {
public:
    explicit scope_link(Router& owning) : owner(owning) {}
    void remove_scoped(destination_id id) override { owner.remove_scoped(id); }
    void unblock_scoped(destination_id id) override { owner.unblock(id); }

private:
    Router& owner;
};

template <typename Router, typename T>
template <typename Entries, typename SerialOf>
std::size_t router_front<Router, T>::index_of(const Entries& entries, destination_id id, SerialOf serial_of)
{
    const std::size_t count = std::size(entries);
    std::size_t index = 0;
    while (index != count && serial_of(entries[index]) != id.serial)
        ++index;
    return !id.serial ? count : index;
}

template <typename Router, typename T>
router_front<Router, T>::router_front(listing order_kind, exception_handler handler)
    : listing_order(order_kind), on_exception(std::move(handler))
{
}

template <typename Router, typename T>
template <typename D>
destination_id router_front<Router, T>::add_destination(D&& d, unsigned priority)
{
    constexpr std::bool_constant<detail::is_tracking<std::decay_t<D>>::value> tracked{};
    if constexpr (Router::keeps_small_copies && detail::fits_slot<T, std::decay_t<D>>()) {
        return self().list_in_slot(std::forward<D>(d), priority, tracked);
    } else {
        std::unique_ptr<destination<T>> copy(detail::new_destination<T>(std::forward<D>(d)));
        return self().list(std::move(copy), priority, tracked);
    }
}

template <typename Router, typename T>
template <typename Member, typename C, typename>
destination_id router_front<Router, T>::add_destination(Member on, C* object, unsigned priority)
{
    return add_destination(detail::member_call<Member, C>{on, object}, priority);
}

template <typename Router, typename T>
template <typename Member, typename C, typename>
destination_id router_front<Router, T>::add_destination(Member on, const std::shared_ptr<C>& object, unsigned priority)
{
    return add_destination(tracking(std::weak_ptr<C>(object), detail::member_call<Member, C>{on, object.get()}),
                           priority);
}

template <typename Router, typename T>
template <typename Member, typename C, typename>
destination_id router_front<Router, T>::add_destination(Member on, const std::weak_ptr<C>& object, unsigned priority)
{
    return add_destination(on, object.lock(), priority);
}

template <typename Router, typename T>
template <typename... Arguments>
scoped_destination router_front<Router, T>::add_scoped_destination(Arguments&&... arguments)
{
    // Before adding: a failure here must not leave it listed unscoped.
    std::shared_ptr<scope_link> link = self().scopes_made();
    return scoped_destination(std::move(link), add_destination(std::forward<Arguments>(arguments)...));
}

template <typename Router, typename T>
bool router_front<Router, T>::remove_destination(destination_id id)
{
    return self().unlist(id);
}

template <typename Router, typename T>
bool router_front<Router, T>::set_priority(destination_id id, unsigned priority)
{
    return self().change_priority(id, priority);
}

template <typename Router, typename T>
bool router_front<Router, T>::block(destination_id id)
{
    return self().block_listed(id);
}

template <typename Router, typename T>
bool router_front<Router, T>::unblock(destination_id id)
{
    return self().unblock_listed(id);
}

template <typename Router, typename T>
scoped_block router_front<Router, T>::block_scoped(destination_id id)
{
    std::shared_ptr<scope_link> link = self().scopes_made();
    if (!block(id))
        return scoped_block();
    return scoped_block(std::move(link), id);
}

template <typename Router, typename T>
template <typename D>
void router_front<Router, T>::set_default_destination(D&& d)
{
    std::unique_ptr<destination<T>> copy(detail::new_destination<T>(std::forward<D>(d)));
    self().install_default(std::move(copy), std::bool_constant<detail::is_tracking<std::decay_t<D>>::value>());
}

template <typename Router, typename T>
bool router_front<Router, T>::remove_default_destination()
{
    return self().install_default(nullptr, std::false_type());
}

template <typename Router, typename T>
void router_front<Router, T>::clear()
{
    self().unlist_all();
}

template <typename Router, typename T>
std::size_t router_front<Router, T>::size() const
{
    return self().listed_count();
}

template <typename Router, typename T>
bool router_front<Router, T>::empty() const
{
    return size() == 0;
}

template <typename Router, typename T>
bool router_front<Router, T>::contains(destination_id id) const
{
    return self().state_of(id).has_value();
}

template <typename Router, typename T>
std::optional<unsigned> router_front<Router, T>::priority(destination_id id) const
{
    if (const std::optional<listed_state> state = self().state_of(id))
        return state->priority;
    return std::nullopt;
}

template <typename Router, typename T>
bool router_front<Router, T>::blocked(destination_id id) const
{
    const std::optional<listed_state> state = self().state_of(id);
    return state && state->blocked;
}

template <typename Router, typename T>
bool router_front<Router, T>::has_default() const
{
    return self().default_installed();
}

template <typename Router, typename T>
inline distribution router_front<Router, T>::distribute(const T& value)
{
    if (on_exception)
        return distribute_reporting(value);
    const typename Router::walk walk(self());
    return offer<false>(value, walk);
}

// Apart, so that the walk of distribute(value) stays in registers.
template <typename Router, typename T>
distribution router_front<Router, T>::distribute_reporting(const T& value)
{
    const typename Router::walk walk(self());
    return offer_reporting(value, walk);
}

template <typename Router, typename T>
template <typename Iter, typename>
distribution router_front<Router, T>::distribute(Iter it)
{
    return distribute(*it);
}

template <typename Router, typename T>
template <typename InputIt>
inline distribution_counts router_front<Router, T>::distribute(InputIt first, InputIt last)
{
    return on_exception ? offer_range<true>(first, last) : offer_range<false>(first, last);
}

template <typename Router, typename T>
distribution_counts router_front<Router, T>::distribute_batch(const T* first, const T* last)
{
    if (on_exception)
        return offer_range<true>(first, last);
    typename Router::walk walk(self());
    distribution_counts counts;
    while (first != last) {
        const std::size_t left = static_cast<std::size_t>(last - first);
        const std::size_t count = left < batch<T>::capacity ? left : batch<T>::capacity;
        batch<T> chunk(first, count);
        walk.refresh();
        walk.offer_listed_chunk(chunk);
        const std::size_t untaken = chunk.pending_count();
        counts.taken += count - untaken;
        if (untaken != 0 && walk.offer_default_chunk(chunk))
            counts.defaulted += untaken;
        else
            counts.dropped += untaken;
        first += count;
    }
    return counts;
}

template <typename Router, typename T>
template <typename Contiguous>
distribution_counts router_front<Router, T>::distribute_batch(const Contiguous& values)
{
    const T* const first = std::data(values);
    return distribute_batch(first, first + std::size(values));
}

template <typename Router, typename T>
template <bool Reporting, typename InputIt>
inline distribution_counts router_front<Router, T>::offer_range(InputIt first, InputIt last)
{
    typename Router::walk walk(self());
    // Indexed by outcome, so kept on the stack: counts in registers, or in
    // the returned struct, would push the walk's end out of them.
    std::size_t by_outcome[3] = {};
    std::size_t threw = 0;
    for (; first != last; ++first) {
        walk.refresh();
        const distribution one = offer<Reporting>(*first, walk);
        ++by_outcome[static_cast<std::size_t>(one.result)];
        threw += one.threw;
    }
    return {by_outcome[0], by_outcome[1], by_outcome[2], threw};
}

// The walk stops at the taker: its id is read only when the result is.
template <typename Router, typename T>
template <bool Reporting, typename Walk>
inline distribution router_front<Router, T>::offer(const T& value, const Walk& walk)
{
    if constexpr (Reporting) {
        return offer_reporting(value, walk);
    } else {
        const typename Walk::entry* const end = walk.end();
        for (const typename Walk::entry* current = walk.begin(); current != end; ++current) {
            if (Walk::target(*current)->distribute(value))
                return {outcome::taken, 0, walk.id_of(current)};
        }
        return {walk.offer_default(value) ? outcome::defaulted : outcome::dropped, 0, {}};
    }
}

// One try around the whole walk, which a throw resumes after the
// thrower: the walk itself is the propagating one, and what threw is
// counted in a local, so nothing more is done per destination until one
// throws.
template <typename Router, typename T>
template <typename Walk>
inline distribution router_front<Router, T>::offer_reporting(const T& value, const Walk& walk)
{
    unsigned threw = 0;
    const typename Walk::entry* const end = walk.end();
    const typename Walk::entry* current = walk.begin();
    for (;;) {
        try {
            for (; current != end; ++current) {
                if (Walk::target(*current)->distribute(value))
                    return {outcome::taken, threw, walk.id_of(current)};
            }
            break;
        } catch (...) {
            ++threw;
            report(walk.id_of(current));
            ++current;
        }
    }
    bool defaulted = true;
    try {
        defaulted = walk.offer_default(value);
    } catch (...) {
        // Only a default throws from there.
        ++threw;
        report(destination_id());
    }
    return {defaulted ? outcome::defaulted : outcome::dropped, threw, {}};
}

// Inside a handler: what the handler throws leaves the routing call.
template <typename Router, typename T>
void router_front<Router, T>::report(destination_id thrower) const
{
    on_exception(std::current_exception(), thrower);
}

} // namespace vessa

#endif
