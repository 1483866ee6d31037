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
#include <iterator>
#include <type_traits>
#include <utility>

namespace vessa {

template <typename T>
class batch;
template <typename T>
class router;
template <typename T>
class concurrent_router;

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
// one counter for the whole process, shared by every router of every
// value type, so an id never names another destination than the one it
// was given for, in any router.
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
    explicit destination_id(std::uint64_t id_serial) : serial(id_serial) {}

    // The next unused serial; 0 is never drawn.
    static std::uint64_t next_serial();

    std::uint64_t serial = 0;
};

// ---------------------------------------------------------------------
// Mechanics.

inline std::uint64_t destination_id::next_serial()
{
    // Atomic: routers of other threads draw from it too.
    static std::atomic<std::uint64_t> last_serial{0};
    return last_serial.fetch_add(1, std::memory_order_relaxed) + 1;
}

namespace detail {
// Whether Iter is an iterator whose elements are T, as a router's
// distribute(it) takes.
template <typename Iter, typename T, typename = void>
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
} // namespace detail

} // namespace vessa

#endif
