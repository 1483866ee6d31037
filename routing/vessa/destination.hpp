// vessa: what a router routes to.
//
// A destination is offered values one at a time and answers whether it
// takes each one. Users write a class derived from destination<T>, or give
// any callable bool(const T&), which a router wraps. take_if declares a
// decision free of side effects, which a batch evaluates over a whole
// chunk. destination_id names what a router lists, in every router.
#ifndef VESSA_DESTINATION_HPP
#define VESSA_DESTINATION_HPP

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace vessa {

template <typename T>
class batch;
template <typename T>
class router;
template <typename T>
class concurrent_router;
template <typename Router, typename T>
class router_front;

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

namespace detail {
// What tells ids apart: a count, and the counter it comes from. Each copy
// of this code has a counter of its own (a shared object built with
// hidden symbols has one), so no two ids of the process are alike while
// the copies that drew them are loaded.
struct id_serial {
    const void* source = nullptr;
    std::uint64_t count = 0;

    explicit operator bool() const { return count != 0; }
    friend bool operator==(const id_serial& a, const id_serial& b)
    {
        return a.count == b.count && a.source == b.source;
    }
    friend bool operator!=(const id_serial& a, const id_serial& b) { return !(a == b); }
    // The order of drawing, within a counter; counters by address, as
    // integers, which orders unrelated pointers as std::less does.
    friend bool operator<(const id_serial& a, const id_serial& b)
    {
        const auto address = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p); };
        return a.count != b.count ? a.count < b.count : address(a.source) < address(b.source);
    }
};
} // namespace detail

// Names a listed destination, for remove_destination. Ids are never
// reused, in any router of any value type of the process, so an id never
// names another destination than the one it was given for.
class destination_id {
public:
    // Names no destination.
    destination_id() = default;

    friend bool operator==(destination_id a, destination_id b) { return a.serial == b.serial; }
    friend bool operator!=(destination_id a, destination_id b) { return a.serial != b.serial; }

private:
    template <typename>
    friend class router;
    template <typename>
    friend class concurrent_router;
    template <typename, typename>
    friend class router_front;
    explicit destination_id(detail::id_serial id) : serial(id) {}

    // The next unused serial; a count of 0 is never drawn.
    static detail::id_serial next_serial();
    // The first of the next n unused serials, whose counts follow it.
    static detail::id_serial next_serials(std::uint64_t n);

    detail::id_serial serial;
};

// ---------------------------------------------------------------------
// Mechanics.

inline detail::id_serial destination_id::next_serial() { return next_serials(1); }

inline detail::id_serial destination_id::next_serials(std::uint64_t n)
{
    // Atomic: routers of other threads draw from it too.
    static std::atomic<std::uint64_t> last_count{0};
    return {&last_count, last_count.fetch_add(n, std::memory_order_relaxed) + 1};
}

namespace detail {
// Whether Iter is an iterator whose elements are T, as a router's
// distribute(it) takes: a pointer, or a class with the member types that
// std::iterator_traits reads, told without <iterator>: of the standard
// headers a router needs, the costliest to compile.
template <typename Iter, typename T, typename = void>
struct is_iterator_over : std::false_type {
};
template <typename Iter, typename T>
struct is_iterator_over<Iter*, T, std::enable_if_t<std::is_object_v<Iter>>> : std::is_convertible<Iter&, const T&> {
};
template <typename Iter, typename T>
struct is_iterator_over<Iter, T, std::void_t<typename Iter::iterator_category, typename Iter::reference>>
    : std::is_convertible<typename Iter::reference, const T&> {
};
} // namespace detail

} // namespace vessa

#endif
