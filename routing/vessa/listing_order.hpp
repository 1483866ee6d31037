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

// Whether entries, a heap of equal priorities in the order they were
// added, which is the heap that adding them again in that order builds.
template <typename Entry, typename Lower, typename Earlier>
bool as_added_alike(const std::vector<Entry>& entries, Lower lower, Earlier earlier)
{
    const auto unequal = [&](const Entry& a, const Entry& b) { return lower(a, b) || lower(b, a); };
    return std::adjacent_find(entries.begin(), entries.end(), unequal) == entries.end()
           && std::is_sorted(entries.begin(), entries.end(), earlier);
}

// Removes entries[index] and rebuilds the heap of the rest. Earlier(a, b):
// a was added before b.
template <typename Entry, typename Lower, typename Earlier>
void erase_in_order(std::vector<Entry>& entries, std::size_t index, Lower lower, Earlier earlier)
{
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(index));
    if (as_added_alike(entries, lower, earlier))
        return;
    std::sort(entries.begin(), entries.end(), earlier);
    for (auto end = entries.begin(); end != entries.end();)
        std::push_heap(entries.begin(), ++end, lower);
}

// Whether erase_in_order(entries, index) leaves the rest in the order they
// are in now. Equal priorities in the order of adding stay so: the usual
// case, told without a copy.
template <typename Entry, typename Lower, typename Earlier>
bool order_kept_without(const std::vector<Entry>& entries, std::size_t index, Lower lower, Earlier earlier)
{
    const Entry* previous = nullptr;
    bool alike = true;
    for (std::size_t i = 0; i < entries.size() && alike; ++i) {
        if (i == index)
            continue;
        alike = !previous
                || (!lower(*previous, entries[i]) && !lower(entries[i], *previous) && earlier(*previous, entries[i]));
        previous = &entries[i];
    }
    if (alike)
        return true;
    std::vector<Entry> rebuilt(entries);
    erase_in_order(rebuilt, index, lower, earlier);
    for (std::size_t i = 0, r = 0; i < entries.size(); ++i) {
        if (i == index)
            continue;
        const Entry& kept = rebuilt[r++];
        if (earlier(entries[i], kept) || earlier(kept, entries[i]))
            return false;
    }
    return true;
}

} // namespace detail
} // namespace vessa

#endif
