// vessa: the copy a router keeps of what it is given.
//
// A router lists destination<T> objects on the heap. new_destination makes
// one from a destination class, a take_if, or any callable bool(const T&);
// the wrappers below call a callable inline from their one virtual call,
// so a lambda costs what a destination class costs, and in a batch its
// call is inlined into the loop over the pending values.
//
// A router may keep the wrapper of a small callable in a slot of its own
// instead (copy_slots): a callable that moves without throwing and whose
// wrapper fits a slot, up to five pointers' size, as a member function
// with its object does. Adding and removing one then allocates nothing
// once the router has slots to spare.
#ifndef VESSA_DESTINATION_COPY_HPP
#define VESSA_DESTINATION_COPY_HPP

#include <cstddef>
#include <memory>
#include <new>
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

// The class of the copy new_destination makes of a D: D itself when it
// derives from destination<T>, else a wrapper. Other headers add their
// own forms (tracking.hpp).
template <typename T, typename D>
struct copy_of;

// Whether the copy of a D fits one of a router's slots (see copy_slot).
template <typename T, typename D>
constexpr bool fits_slot();

// Room for one small copy and the count of the handles that share it.
// Standard layout, so that a pointer to count is one to the slot.
class copy_slots;
struct copy_slot {
    static constexpr std::size_t room = 48;

    int count;
    copy_slots* owner;
    union {
        copy_slot* next_free;
        alignas(void*) unsigned char storage[room];
    };
};

// A router's slots: the first few within it, so that a router costs no
// allocation to make, the rest in chunks that it keeps until it ends.
// Neither copyable nor movable: each slot names its owner.
class copy_slots {
public:
    // Leaves the slots within as they are until grow() first frees them.
    copy_slots() noexcept {}
    ~copy_slots();
    copy_slots(const copy_slots&) = delete;
    copy_slots& operator=(const copy_slots&) = delete;

    copy_slot& take()
    {
        if (!free)
            grow();
        copy_slot& taken = *free;
        free = taken.next_free;
        return taken;
    }
    void give_back(copy_slot& slot) noexcept
    {
        slot.next_free = free;
        free = &slot;
    }

private:
    struct chunk {
        static constexpr std::size_t slot_count = 16;

        copy_slot slots[slot_count];
        std::unique_ptr<chunk> next;
    };
    static constexpr std::size_t within = 4;

    void make_free(copy_slot* first, std::size_t count) noexcept;
    // Defined here: a definition out of the class would be inline, which
    // noinline contradicts. The slots within come first, when first
    // needed: a router that lists nothing costs nothing more to make.
    [[gnu::cold, gnu::noinline]] void grow()
    {
        if (!first_given) {
            first_given = true;
            make_free(first_slots, within);
            return;
        }
        std::unique_ptr<chunk> added(new chunk);
        added->next = std::move(chunks);
        chunks = std::move(added);
        make_free(chunks->slots, chunk::slot_count);
    }

    copy_slot first_slots[within];
    bool first_given = false;
    copy_slot* free = nullptr;
    std::unique_ptr<chunk> chunks;
};

// The copy of d made in slot's storage, for a D that fits_slot.
template <typename T, typename D>
destination<T>* slot_destination(copy_slot& slot, D&& d);

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
    static_assert(std::is_invocable_r_v<bool, F&, const T&>,
                  "a destination derives from vessa::destination<T> or is callable as bool(const T&)");

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
struct copy_of {
    using type = std::conditional_t<std::is_base_of_v<destination<T>, D>, D, callable_destination<T, D>>;
};
template <typename T, typename Predicate, typename Act>
struct copy_of<T, take_if_destination<Predicate, Act>> {
    using type = take_if_wrapper<T, Predicate, Act>;
};

template <typename T, typename D>
destination<T>* new_destination(D&& d)
{
    return new typename copy_of<T, std::decay_t<D>>::type(std::forward<D>(d));
}

// Classes derived from destination<T> keep the heap copy: they may be of
// any size, and their users may count on it.
template <typename T, typename D>
constexpr bool fits_slot()
{
    using copy = typename copy_of<T, D>::type;
    return !std::is_base_of_v<destination<T>,
                              D> && std::is_nothrow_move_constructible_v<D> && sizeof(copy) <= copy_slot::room
           && alignof(copy) <= alignof(void*);
}

template <typename T, typename D>
destination<T>* slot_destination(copy_slot& slot, D&& d)
{
    return new (slot.storage) typename copy_of<T, std::decay_t<D>>::type(std::forward<D>(d));
}

// A chain of chunks ended one by one, not by recursion.
inline copy_slots::~copy_slots()
{
    while (chunks)
        chunks = std::move(chunks->next);
}

inline void copy_slots::make_free(copy_slot* first, std::size_t count) noexcept
{
    for (copy_slot* slot = first + count; slot != first;) {
        --slot;
        slot->owner = this;
        give_back(*slot);
    }
}

} // namespace detail
} // namespace vessa

#endif
