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

#include <cstddef>
#include <cstdint>

#include <vessa/destination.hpp>

namespace vessa {

namespace detail {
// Values per chunk of a batch. Each destination pays a fixed cost per
// chunk besides its values: of 64 ... 1024 ints, 512 came out best but for
// 1024, which gained too little for twice the stack. A chunk keeps 2 1/8
// bytes per value on the stack, and offer_each 1 more while all are pending.
// Larger values get fewer, so that a chunk's values stay within chunk_bytes,
// in the first-level cache while every destination goes over them; never
// fewer than 64, and a whole number of 64-bit mask words.
constexpr std::size_t chunk_values = 512;
constexpr std::size_t chunk_bytes = 8192;
constexpr std::size_t chunk_capacity(std::size_t value_size)
{
    const std::size_t fitting = chunk_bytes / value_size / 64 * 64;
    return fitting < 64 ? 64 : fitting > chunk_values ? chunk_values : fitting;
}
} // namespace detail

// The values of one chunk, as a destination's distribute_batch is offered
// them: those that no destination before it took are pending.
template <typename T>
class batch {
public:
    static constexpr std::size_t capacity = detail::chunk_capacity(sizeof(T));

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
    template <typename, typename>
    friend class router_front;
    static constexpr std::size_t word_bits = 64;
    static_assert(capacity % word_bits == 0 && capacity <= 65536, "positions are 16 bits, masks whole words");

    // How the pending values are kept. A chunk starts with all of them
    // pending. offer_each leaves the positions of those still pending, in
    // ascending order, to go over them next time with no branch on a
    // value; take_chosen leaves a mask, to skip the values it does not
    // choose a word at a time. Each converts what the other left.
    enum class kept_as : unsigned char { all, positions, mask };

    batch(const T* first, std::size_t value_count);
    std::size_t pending_count() const;
    template <typename Take>
    void offer_all(Take& take);
    template <typename Take>
    void offer_positions(Take& take);
    void keep_untaken(const unsigned char* taken, std::size_t offered_count);
    [[gnu::cold, gnu::noinline]] void keep_unoffered(std::size_t kept, std::size_t first_unoffered);
    void as_positions();
    void as_mask();

    const T* values;
    std::size_t count;
    std::size_t word_count;
    kept_as form = kept_as::all;
    // kept_as::positions: the first position_count are pending.
    std::size_t position_count = 0;
    std::uint16_t positions[capacity];
    // kept_as::mask: bit i of word w: value w * word_bits + i is pending.
    std::uint64_t pending[capacity / word_bits];
    // The walked entry that names the destination being offered the batch;
    // a removal puts a stand-in there.
    destination<T>* const* offered = nullptr;
    // What offered named when the router offered the chunk: a destination
    // that goes over the chunk twice is still told from its stand-in.
    const destination<T>* offering = nullptr;

    bool offering_removed() const { return *offered != offering; }
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

inline std::size_t set_bit_count(std::uint64_t bits)
{
#if defined(__GNUC__)
    return static_cast<std::size_t>(__builtin_popcountll(bits));
#else
    std::size_t set = 0;
    for (; bits != 0; bits &= bits - 1)
        ++set;
    return set;
#endif
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
}

template <typename T>
bool batch<T>::empty() const
{
    if (form == kept_as::all)
        return count == 0;
    if (form == kept_as::positions)
        return position_count == 0;
    std::uint64_t any = 0;
    for (std::size_t w = 0; w < word_count; ++w)
        any |= pending[w];
    return any == 0;
}

template <typename T>
std::size_t batch<T>::pending_count() const
{
    if (form == kept_as::all)
        return count;
    if (form == kept_as::positions)
        return position_count;
    std::size_t pending_values = 0;
    for (std::size_t w = 0; w < word_count; ++w)
        pending_values += detail::set_bit_count(pending[w]);
    return pending_values;
}

template <typename T>
template <typename Take>
void batch<T>::offer_each(Take&& take)
{
    if (offering_removed())
        return;
    if (form == kept_as::all)
        return offer_all(take);
    if (form == kept_as::mask)
        as_positions();
    offer_positions(take);
}

// Every value pending: a plain loop over them, which the compiler
// vectorizes when take turns out to have no effects. Positions are
// written only when some values are taken and some not, as a default
// that takes every value leaves none.
template <typename T>
template <typename Take>
void batch<T>::offer_all(Take& take)
{
    unsigned char taken[capacity];
    unsigned char any_taken = 0;
    unsigned char all_taken = 1;
    for (std::size_t p = 0; p < count; ++p) {
        taken[p] = take(values[p]) ? 1 : 0;
        any_taken |= taken[p];
        all_taken &= taken[p];
        if (offering_removed())
            return keep_untaken(taken, p + 1);
    }
    if (all_taken) {
        position_count = 0;
        form = kept_as::positions;
    } else if (any_taken) {
        keep_untaken(taken, count);
    }
}

// Each position is written back at the place of the next one kept, taken
// or not, and the place moves on only if it was not taken: no branch on
// what take returns. Eight positions are read before any is written: a
// write to the word a later read comes from would make that read wait.
template <typename T>
template <typename Take>
void batch<T>::offer_positions(Take& take)
{
    constexpr std::size_t group = 8;
    std::size_t kept = 0;
    std::size_t next = 0;
    for (; next + group <= position_count; next += group) {
        std::uint16_t read[group];
        for (std::size_t k = 0; k < group; ++k)
            read[k] = positions[next + k];
        for (std::size_t k = 0; k < group; ++k) {
            positions[kept] = read[k];
            kept += take(values[read[k]]) ? 0 : 1;
            if (offering_removed())
                return keep_unoffered(kept, next + k + 1);
        }
    }
    for (; next < position_count; ++next) {
        const std::uint16_t p = positions[next];
        positions[kept] = p;
        kept += take(values[p]) ? 0 : 1;
        if (offering_removed())
            return keep_unoffered(kept, next + 1);
    }
    position_count = kept;
}

template <typename T>
template <typename Chosen, typename Act>
void batch<T>::take_chosen(Chosen&& chosen, Act&& act)
{
    if (offering_removed())
        return;
    if (form != kept_as::mask)
        as_mask();
    for (std::size_t w = 0; w < word_count; ++w) {
        const T* const word_values = values + w * word_bits;
        const std::size_t unread = count - w * word_bits;
        const std::size_t lanes = unread < word_bits ? unread : word_bits;
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
            if (offering_removed()) {
                pending[w] |= left;
                return;
            }
        }
    }
}

// Keeps as pending the values of the first offered_count that were not
// taken, and every value after them.
template <typename T>
void batch<T>::keep_untaken(const unsigned char* const taken, std::size_t offered_count)
{
    std::size_t kept = 0;
    for (std::size_t p = 0; p < offered_count; ++p) {
        positions[kept] = static_cast<std::uint16_t>(p);
        kept += taken[p] ^ 1u;
    }
    for (std::size_t p = offered_count; p < count; ++p)
        positions[kept++] = static_cast<std::uint16_t>(p);
    position_count = kept;
    form = kept_as::positions;
}

// The rare way out of offer_positions: the destination was removed, and
// the positions from first_unoffered on, which it was not offered, join
// the kept ones.
template <typename T>
void batch<T>::keep_unoffered(std::size_t kept, std::size_t first_unoffered)
{
    for (std::size_t next = first_unoffered; next < position_count; ++next)
        positions[kept++] = positions[next];
    position_count = kept;
}

template <typename T>
void batch<T>::as_positions()
{
    std::size_t kept = 0;
    for (std::size_t w = 0; w < word_count; ++w) {
        for (std::uint64_t lanes = pending[w]; lanes != 0; lanes &= lanes - 1)
            positions[kept++] = static_cast<std::uint16_t>(w * word_bits + detail::lowest_set_bit(lanes));
    }
    position_count = kept;
    form = kept_as::positions;
}

template <typename T>
void batch<T>::as_mask()
{
    const std::uint64_t fill = form == kept_as::all ? ~std::uint64_t{0} : 0;
    for (std::size_t w = 0; w < word_count; ++w)
        pending[w] = fill;
    if (form == kept_as::all) {
        // Values past the end are never pending.
        if (count % word_bits != 0)
            pending[word_count - 1] = (std::uint64_t{1} << (count % word_bits)) - 1;
    } else {
        for (std::size_t i = 0; i < position_count; ++i)
            pending[positions[i] / word_bits] |= std::uint64_t{1} << (positions[i] % word_bits);
    }
    form = kept_as::mask;
}

} // namespace vessa

#endif
