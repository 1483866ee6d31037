// vessa: the order in which a router offers values to what it lists.
//
// The list is a binary max-heap by priority in array order, as
// std::push_heap leaves it. After a removal it is the heap that adding the
// remaining entries again, in the order they were first added, builds.
#ifndef VESSA_LISTING_ORDER_HPP
#define VESSA_LISTING_ORDER_HPP

#include <algorithm>
#include <cstddef>
#include <vector>

namespace vessa {
namespace detail {

// Appends added and moves it up to its place. Lower(a, b): a has a lower
// priority than b.
template <typename Entry, typename Lower>
void add_in_order(std::vector<Entry>& entries, const Entry& added, Lower lower)
{
    entries.push_back(added);
    std::push_heap(entries.begin(), entries.end(), lower);
}

// Removes entries[index] and rebuilds the heap of the rest. Earlier(a, b):
// a was added before b.
template <typename Entry, typename Lower, typename Earlier>
void erase_in_order(std::vector<Entry>& entries, std::size_t index, Lower lower, Earlier earlier)
{
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(index));
    std::sort(entries.begin(), entries.end(), earlier);
    for (auto end = entries.begin(); end != entries.end();)
        std::push_heap(entries.begin(), ++end, lower);
}

} // namespace detail
} // namespace vessa

#endif
