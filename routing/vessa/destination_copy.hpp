// vessa: the copy a router keeps of what it is given.
//
// A router lists destination<T> objects on the heap. new_destination makes
// one from a destination class, a take_if, or any callable bool(const T&);
// the wrappers below call a callable inline from their one virtual call,
// so a lambda costs what a destination class costs, and in a batch its
// call is inlined into the loop over the pending values.
#ifndef VESSA_DESTINATION_COPY_HPP
#define VESSA_DESTINATION_COPY_HPP

#include <type_traits>
#include <utility>

#include <vessa/batch.hpp>
#include <vessa/destination.hpp>

namespace vessa {
namespace detail {

// A heap copy (or move) of d: a class derived from destination<T>, a
// take_if, or any callable bool(const T&).
template <typename T, typename D>
destination<T>* new_destination(D&& d);

// Offered in place of a destination that walks under way must skip, so
// that the walk needs no check.
template <typename T>
class refusing_stand_in final : public destination<T> {
public:
    bool distribute(const T&) override { return false; }
    void distribute_batch(batch<T>&) override {}
};

// ---------------------------------------------------------------------
// Mechanics.

template <typename T, typename F>
class callable_destination final : public destination<T> {
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

template <typename T, typename Predicate, typename Act>
class take_if_wrapper final : public destination<T> {
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

template <typename T, typename D>
destination<T>* new_destination(D&& d)
{
    using stored = std::decay_t<D>;
    if constexpr (std::is_base_of_v<destination<T>, stored>) {
        return new stored(std::forward<D>(d));
    } else if constexpr (is_take_if<stored>::value) {
        return new take_if_wrapper<T, decltype(stored::predicate), decltype(stored::act)>(std::forward<D>(d));
    } else {
        static_assert(std::is_invocable_r_v<bool, stored&, const T&>,
                      "a destination derives from vessa::destination<T> or is callable as bool(const T&)");
        return new callable_destination<T, stored>(std::forward<D>(d));
    }
}

} // namespace detail
} // namespace vessa

#endif
