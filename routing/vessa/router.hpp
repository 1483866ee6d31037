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
//     rules, so a change takes effect from the next element.
// A destination's copy is destroyed once nothing lists it and no routing
// under way can reach it: at the latest when the outermost routing call
// returns. An exception thrown by a destination leaves the routing call;
// the router stays usable and leaks nothing. Destroying the router from
// inside one of its own destinations is not allowed.
//
// Single-threaded: the handles count their owners with plain integers.
#ifndef VESSA_ROUTER_HPP
#define VESSA_ROUTER_HPP

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace vessa {

template <typename T>
class batch;

// What users implement. distribute returns true when the destination takes
// the value and false when the value is to be offered elsewhere. A callable
// bool(const T&) serves as well: the router wraps it in one of these.
template <typename T>
class destination {
public:
    virtual ~destination() {}
    virtual bool distribute(const T& value) = 0;

    // distribute_batch offers this destination the values of a batch that
    // are still pending (see router::distribute_batch). This form makes
    // one virtual distribute call per value; batch_destination below, the
    // router's callables and take_if do without.
    virtual void distribute_batch(batch<T>& pending);
};

// A base for destination classes that go fast in a batch: their own
// distribute is called per value without a virtual call, and inlined.
//     class small : public vessa::batch_destination<small, int> {
//     public:
//         bool distribute(const int& v) override { return v < 10; }
//     };
template <typename Derived, typename T>
class batch_destination : public destination<T> {
public:
    void distribute_batch(batch<T>& pending) override;
};

// A destination made of a predicate free of side effects and what to do
// with the values it takes. In a batch the predicate may be evaluated on
// every value, pending or not, so that the compiler can vectorize it;
// act is called only for the pending values the predicate chose, in order.
//     router.add_destination(vessa::take_if([](const int& v) { return v < 10; },
//                                           [&](const int& v) { small.push_back(v); }));
template <typename Predicate, typename Act>
struct take_if_destination {
    Predicate predicate;
    Act act;
};

template <typename Predicate, typename Act>
take_if_destination<std::decay_t<Predicate>, std::decay_t<Act>> take_if(Predicate&& predicate, Act&& act)
{
    return {std::forward<Predicate>(predicate), std::forward<Act>(act)};
}

// Names a listed destination, for remove_destination. Ids are drawn from
// one counter for the whole process, so an id never names another
// destination than the one it was given for, in any router.
class destination_id {
public:
    // Names no destination.
    destination_id() = default;

    friend bool operator==(destination_id a, destination_id b) { return a.serial == b.serial; }
    friend bool operator!=(destination_id a, destination_id b) { return a.serial != b.serial; }

private:
    template <typename>
    friend class router;
    explicit destination_id(std::uint64_t id_serial) : serial(id_serial) {}

    std::uint64_t serial = 0;
};

namespace detail {
// Whether Iter is an iterator whose elements are T, as distribute(it) takes.
template <typename Iter, typename T, typename = void>
struct is_iterator_over;
} // namespace detail

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

    // Unlists the destination and returns true, or returns false when id
    // names nothing listed here (already removed, or another router's).
    bool remove_destination(destination_id id);

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
        destination_handle(destination<T>* owned_target, unsigned target_priority, std::uint64_t id_serial = 0);
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
        std::uint64_t serial;
    };

private:
    template <typename F>
    class callable_destination;
    template <typename Predicate, typename Act>
    class take_if_wrapper;
    class refusing_stand_in;
    struct changes_while_routing;

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

    template <typename D>
    static destination<T>* new_destination(D&& d);
    static std::uint64_t next_serial();

    // The rare path: changes made while routing, and their cleanup.
    [[gnu::cold, gnu::noinline]] changes_while_routing& changes();
    [[gnu::cold, gnu::noinline]] void detach_list(std::size_t extra_capacity);
    [[gnu::cold, gnu::noinline]] void release_deferred() noexcept;
    void erase_listed(std::size_t index) noexcept;

    std::vector<destination_handle> destinations;
    destination_handle* default_destination = nullptr;
    unsigned routing_depth = 0;
    // What changes made while routing keep alive; null when there are none.
    changes_while_routing* deferred = nullptr;
};

// The values of one chunk of router::distribute_batch, as a destination's
// distribute_batch is offered them: those that no destination before it
// took are pending.
template <typename T>
class batch {
public:
    // A few hundred values: a chunk and its mask stay in the first-level
    // cache while every destination goes over them.
    static constexpr std::size_t capacity = 256;

    // Offers each pending value, in order and by reference to the element,
    // to take(value); those it takes are pending no more. Stops at once if
    // the destination being offered the batch is removed meanwhile.
    template <typename Take>
    void offer_each(Take&& take);

    // Evaluates chosen(value) on every value of the chunk, pending or not,
    // then calls act(value) for each pending value chosen, in order, and
    // takes it. chosen must be free of side effects.
    template <typename Chosen, typename Act>
    void take_chosen(Chosen&& chosen, Act&& act);

    // Whether no value is pending.
    bool empty() const;

private:
    template <typename>
    friend class router;
    static constexpr std::size_t word_bits = 64;

    batch(const T* first, std::size_t value_count);
    void take_first_lanes(std::size_t w, const unsigned char* taken, std::size_t lane_count);

    const T* values;
    std::size_t count;
    std::size_t word_count;
    // Bit i of word w: value w * word_bits + i is pending.
    std::uint64_t pending[capacity / word_bits];
    // The walked entry that names the destination being offered the batch;
    // a removal puts a stand-in there.
    destination<T>* const* offered = nullptr;
};

// ---------------------------------------------------------------------
// Mechanics.

namespace detail {
template <typename Iter, typename T, typename>
struct is_iterator_over : std::false_type {
};
template <typename Iter, typename T>
struct is_iterator_over<Iter, T, std::void_t<typename std::iterator_traits<Iter>::iterator_category>>
    : std::is_convertible<typename std::iterator_traits<Iter>::reference, const T&> {
};

template <typename D>
struct is_take_if : std::false_type {
};
template <typename Predicate, typename Act>
struct is_take_if<take_if_destination<Predicate, Act>> : std::true_type {
};

// Flag i (0 or 1) of 64 becomes bit i. Eight flags at a time: a multiply
// by 2^56 + 2^49 + ... + 2^7 gathers the low bit of each byte in the top
// byte without carries: one multiply instead of eight shifts and ors.
inline std::uint64_t packed_flags(const unsigned char* flags)
{
    std::uint64_t bits = 0;
    for (unsigned group = 0; group < 8; ++group) {
        std::uint64_t eight = 0;
        for (unsigned k = 0; k < 8; ++k)
            eight |= std::uint64_t{flags[8 * group + k]} << (8 * k);
        bits |= ((eight * 0x0102040810204080u) >> 56) << (8 * group);
    }
    return bits;
}

inline std::size_t lowest_set_bit(std::uint64_t bits)
{
#if defined(__GNUC__)
    return static_cast<std::size_t>(__builtin_ctzll(bits));
#else
    std::size_t lowest = 0;
    for (; (bits & 1) == 0; bits >>= 1)
        ++lowest;
    return lowest;
#endif
}
} // namespace detail

template <typename T>
void destination<T>::distribute_batch(batch<T>& pending)
{
    pending.offer_each([this](const T& value) { return distribute(value); });
}

template <typename Derived, typename T>
void batch_destination<Derived, T>::distribute_batch(batch<T>& pending)
{
    pending.offer_each([this](const T& value) { return static_cast<Derived*>(this)->Derived::distribute(value); });
}

template <typename T>
batch<T>::batch(const T* first, std::size_t value_count)
    : values(first), count(value_count), word_count((value_count + word_bits - 1) / word_bits)
{
    for (std::size_t w = 0; w < word_count; ++w)
        pending[w] = ~std::uint64_t{0};
    // Values past the end are never pending.
    if (count % word_bits != 0)
        pending[word_count - 1] = (std::uint64_t{1} << (count % word_bits)) - 1;
}

template <typename T>
bool batch<T>::empty() const
{
    std::uint64_t any = 0;
    for (std::size_t w = 0; w < word_count; ++w)
        any |= pending[w];
    return any == 0;
}

template <typename T>
template <typename Take>
void batch<T>::offer_each(Take&& take)
{
    destination<T>* const self = *offered;
    for (std::size_t w = 0; w < word_count; ++w) {
        const T* const word_values = values + w * word_bits;
        if (pending[w] == ~std::uint64_t{0}) {
            // Every value pending: a plain loop over them, which the
            // compiler vectorizes when take turns out to have no effects.
            unsigned char taken[word_bits];
            for (std::size_t lane = 0; lane < word_bits; ++lane) {
                taken[lane] = take(word_values[lane]) ? 1 : 0;
                if (*offered != self)
                    return take_first_lanes(w, taken, lane + 1);
            }
            pending[w] &= ~detail::packed_flags(taken);
            continue;
        }
        for (std::uint64_t lanes = pending[w]; lanes != 0; lanes &= lanes - 1) {
            const std::size_t lane = detail::lowest_set_bit(lanes);
            if (take(word_values[lane]))
                pending[w] &= ~(std::uint64_t{1} << lane);
            if (*offered != self)
                return;
        }
    }
}

template <typename T>
template <typename Chosen, typename Act>
void batch<T>::take_chosen(Chosen&& chosen, Act&& act)
{
    destination<T>* const self = *offered;
    for (std::size_t w = 0; w < word_count; ++w) {
        const T* const word_values = values + w * word_bits;
        const std::size_t lanes = std::min(word_bits, count - w * word_bits);
        // Over every lane, without a branch, so that it vectorizes; never
        // past the last value.
        unsigned char chosen_flags[word_bits] = {};
        if (lanes == word_bits) {
            for (std::size_t lane = 0; lane < word_bits; ++lane)
                chosen_flags[lane] = chosen(word_values[lane]) ? 1 : 0;
        } else {
            for (std::size_t lane = 0; lane < lanes; ++lane)
                chosen_flags[lane] = chosen(word_values[lane]) ? 1 : 0;
        }
        const std::uint64_t taken = detail::packed_flags(chosen_flags) & pending[w];
        pending[w] &= ~taken;
        for (std::uint64_t left = taken; left != 0;) {
            const std::size_t lane = detail::lowest_set_bit(left);
            left &= left - 1;
            act(word_values[lane]);
            // Removed: the values it has not acted on go on to the next.
            if (*offered != self) {
                pending[w] |= left;
                return;
            }
        }
    }
}

// The rare way out of offer_each's plain loop: the destination was
// removed after being offered the first lane_count lanes of word w.
template <typename T>
void batch<T>::take_first_lanes(std::size_t w, const unsigned char* taken, std::size_t lane_count)
{
    for (std::size_t lane = 0; lane < lane_count; ++lane) {
        if (taken[lane])
            pending[w] &= ~(std::uint64_t{1} << lane);
    }
}

// Holds a callable and calls it inline from the one virtual call, so a
// lambda costs what a destination class costs; in a batch, the call is
// inlined into the loop over the pending values.
template <typename T>
template <typename F>
class router<T>::callable_destination final : public destination<T> {
public:
    template <typename G>
    explicit callable_destination(G&& g) : call(std::forward<G>(g))
    {
    }
    callable_destination(const callable_destination&) = delete;
    callable_destination& operator=(const callable_destination&) = delete;

    bool distribute(const T& value) override { return static_cast<bool>(call(value)); }
    void distribute_batch(batch<T>& chunk) override { chunk.offer_each(call); }

private:
    F call;
};

template <typename T>
template <typename Predicate, typename Act>
class router<T>::take_if_wrapper final : public destination<T> {
public:
    template <typename G>
    explicit take_if_wrapper(G&& given) : predicate(std::forward<G>(given).predicate), act(std::forward<G>(given).act)
    {
    }
    take_if_wrapper(const take_if_wrapper&) = delete;
    take_if_wrapper& operator=(const take_if_wrapper&) = delete;

    bool distribute(const T& value) override
    {
        if (!predicate(value))
            return false;
        act(value);
        return true;
    }
    void distribute_batch(batch<T>& chunk) override { chunk.take_chosen(predicate, act); }

private:
    Predicate predicate;
    Act act;
};

// Offered in place of a removed destination in the lists that routing
// calls under way are still walking, so that the walk needs no check.
template <typename T>
class router<T>::refusing_stand_in final : public destination<T> {
public:
    bool distribute(const T&) override { return false; }
    void distribute_batch(batch<T>&) override {}
};

// What a change made while routing must keep alive until the outermost
// routing call returns: the lists being walked, the destinations removed
// from them, and replaced defaults.
template <typename T>
struct router<T>::changes_while_routing {
    destination_handle stand_in{new refusing_stand_in, 0};
    std::vector<std::vector<destination_handle>> walked_lists;
    std::vector<destination_handle> removed;
    std::vector<std::unique_ptr<destination_handle>> replaced_defaults;
};

template <typename T>
router<T>::~router()
{
    delete default_destination;
    delete deferred;
}

template <typename T>
template <typename D>
destination_id router<T>::add_destination(D&& d, unsigned priority)
{
    // Should anything below throw, the temporary releases the copy and the
    // list is left as it was.
    const destination_handle added(new_destination(std::forward<D>(d)), priority, next_serial());
    if (routing_depth != 0)
        detach_list(1);
    destinations.push_back(added);
    std::push_heap(destinations.begin(), destinations.end());
    return destination_id(added.serial);
}

template <typename T>
bool router<T>::remove_destination(destination_id id)
{
    const auto listed = std::find_if(destinations.begin(), destinations.end(),
                                     [id](const destination_handle& h) { return h.serial == id.serial; });
    if (id.serial == 0 || listed == destinations.end())
        return false;
    std::size_t index = static_cast<std::size_t>(listed - destinations.begin());
    if (routing_depth != 0) {
        // Every allocation comes first, so a failure leaves all as it was.
        changes_while_routing& kept = changes();
        kept.removed.reserve(kept.removed.size() + 1);
        detach_list(0);
        // The removed copy stays alive for the walks under way, which
        // meet the stand-in in its place from now on.
        kept.removed.push_back(destinations[index]);
        for (std::vector<destination_handle>& walked : kept.walked_lists) {
            for (destination_handle& h : walked) {
                if (h.serial == id.serial)
                    h = kept.stand_in;
            }
        }
    }
    erase_listed(index);
    return true;
}

template <typename T>
template <typename D>
void router<T>::set_default_destination(D&& d)
{
    // The new handle is complete before the old one goes, so a failed
    // allocation keeps the previous default. The handle's storage is
    // allocated before the destination and is freed again if that throws.
    std::unique_ptr<destination_handle> replacement(new destination_handle(new_destination(std::forward<D>(d)), 1));
    if (routing_depth != 0) {
        // The default may be the very destination making this call.
        changes_while_routing& kept = changes();
        kept.replaced_defaults.emplace_back(default_destination);
    } else {
        delete default_destination;
    }
    default_destination = replacement.release();
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
        current->target->distribute_batch(chunk);
    }
    if (default_destination && !chunk.empty()) {
        chunk.offered = &default_destination->target;
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
template <typename D>
destination<T>* router<T>::new_destination(D&& d)
{
    using stored = std::decay_t<D>;
    if constexpr (std::is_base_of_v<destination<T>, stored>) {
        return new stored(std::forward<D>(d));
    } else if constexpr (detail::is_take_if<stored>::value) {
        return new take_if_wrapper<decltype(stored::predicate), decltype(stored::act)>(std::forward<D>(d));
    } else {
        static_assert(std::is_invocable_r_v<bool, stored&, const T&>,
                      "a destination derives from vessa::destination<T> or is callable as bool(const T&)");
        return new callable_destination<stored>(std::forward<D>(d));
    }
}

template <typename T>
std::uint64_t router<T>::next_serial()
{
    // Shared by every router, and by routers of other threads: atomic,
    // though a router itself is single-threaded.
    static std::atomic<std::uint64_t> last_serial{0};
    return last_serial.fetch_add(1, std::memory_order_relaxed) + 1;
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

template <typename T>
void router<T>::release_deferred() noexcept
{
    changes_while_routing* const kept = deferred;
    deferred = nullptr;
    delete kept;
}

// Removes one entry and rebuilds the heap as adding the others again, in
// the order they were first added, would have built it.
template <typename T>
void router<T>::erase_listed(std::size_t index) noexcept
{
    destinations.erase(destinations.begin() + static_cast<std::ptrdiff_t>(index));
    std::sort(destinations.begin(), destinations.end(),
              [](const destination_handle& a, const destination_handle& b) { return a.serial < b.serial; });
    for (auto end = destinations.begin(); end != destinations.end();)
        std::push_heap(destinations.begin(), ++end);
}

template <typename T>
router<T>::destination_handle::destination_handle(destination<T>* owned_target, unsigned target_priority,
                                                  std::uint64_t id_serial)
    : target(owned_target), ref_count(nullptr), priority(target_priority), serial(id_serial)
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
    : target(other.target), ref_count(other.ref_count), priority(other.priority), serial(other.serial)
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
