// vessa: the order in which a router offers values to what it lists.
//
// Two orders, chosen when a router is made:
//  - listing::heap (the default): a binary max-heap by priority in array
//    order, as std::push_heap leaves it. After a removal or a change of
//    priority it is the heap that adding the entries again, in the order
//    they were first added and with their present priorities, builds.
//  - listing::sorted: highest priority first, equal priorities in the
//    order they were added.
#ifndef VESSA_LISTING_ORDER_HPP
#define VESSA_LISTING_ORDER_HPP

#include <algorithm>
#include <cstddef>
#include <vector>

namespace vessa {

// The order a router keeps its destinations in; routing costs the same in
// both, only changes differ.
enum class listing { heap, sorted };

namespace detail {

// Appends added and moves it up to its place. Lower(a, b): a has a lower
// priority than b.
template <typename Entry, typename Lower>
void add_in_order(std::vector<Entry>& entries, const Entry& added, Lower lower, listing order = listing::heap)
{
    if (order == listing::sorted) {
        // After every entry of its priority or higher: the order of adding.
        const auto before = [&](const Entry& a, const Entry& b) { return lower(b, a); };
        entries.insert(std::upper_bound(entries.begin(), entries.end(), added, before), added);
        return;
    }
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

// Puts entries, whose priorities may have changed, in the heap that adding
// them again in the order they were first added builds. Earlier(a, b): a
// was added before b.
template <typename Entry, typename Lower, typename Earlier>
void restore_heap(std::vector<Entry>& entries, Lower lower, Earlier earlier)
{
    if (as_added_alike(entries, lower, earlier))
        return;
    std::sort(entries.begin(), entries.end(), earlier);
    for (auto end = entries.begin(); end != entries.end();)
        std::push_heap(entries.begin(), ++end, lower);
}

// Puts entries[index], whose priority changed, in its place.
template <typename Entry, typename Lower, typename Earlier>
void reorder_changed(std::vector<Entry>& entries, std::size_t index, Lower lower, Earlier earlier, listing order)
{
    if (order == listing::heap)
        return restore_heap(entries, lower, earlier);
    // Sorted: before the first other entry of a lower priority, or of its
    // own added after it; in O(n), moving no other entry out of order.
    const auto changed = entries.begin() + static_cast<std::ptrdiff_t>(index);
    const auto goes_before = [&](const Entry& e) {
        return &e != &*changed && (lower(e, *changed) || (!lower(*changed, e) && earlier(*changed, e)));
    };
    const auto place = std::find_if(entries.begin(), entries.end(), goes_before);
    if (place < changed)
        std::rotate(place, changed, changed + 1);
    else
        std::rotate(changed, changed + 1, place);
}

// Removes entries[index] and restores the order of the rest.
template <typename Entry, typename Lower, typename Earlier>
void erase_in_order(std::vector<Entry>& entries, std::size_t index, Lower lower, Earlier earlier,
                    listing order = listing::heap)
{
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(index));
    // A sorted list stays sorted.
    if (order == listing::heap)
        restore_heap(entries, lower, earlier);
}

// Whether erase_in_order(entries, index) leaves the rest in the order they
// are in now. Equal priorities in the order of adding stay so: the usual
// case, told without a copy.
template <typename Entry, typename Lower, typename Earlier>
bool order_kept_without(const std::vector<Entry>& entries, std::size_t index, Lower lower, Earlier earlier,
                        listing order = listing::heap)
{
    if (order == listing::sorted)
        return true;
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
