// vessa: the values of one chunk of a batch, as each destination is
// offered them.
//
// A router's distribute_batch cuts a range into chunks and offers each
// destination in turn, in one call, the values of a chunk that no
// destination before it took: those are pending. A destination goes over
// them with offer_each, or with take_chosen when its decision is free of
// side effects.
#ifndef VESSA_BATCH_HPP
#define VESSA_BATCH_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include <vessa/destination.hpp>

namespace vessa {

// The values of one chunk, as a destination's distribute_batch is offered
// them: those that no destination before it took are pending.
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
    template <typename>
    friend class concurrent_router;
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

} // namespace vessa

#endif
