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

#include <cstddef>
#include <utility>
#include <vector>

namespace vessa {

// The order a router keeps its destinations in; routing costs the same in
// both, only changes differ.
enum class listing { heap, sorted };

namespace detail {

// The loops below are written out rather than taken from <algorithm>,
// which would be most of what a file that routes compiles.

// Moves entries[hole] up the heap entries[0, hole] while its parent is
// before it: the heap std::push_heap leaves. Before(a, b): b goes first.
template <typename Entry, typename Before>
void sift_up(Entry* entries, std::size_t hole, Before before)
{
    Entry moving = std::move(entries[hole]);
    for (std::size_t parent = (hole - 1) / 2; hole > 0 && before(entries[parent], moving); parent = (hole - 1) / 2) {
        entries[hole] = std::move(entries[parent]);
        hole = parent;
    }
    entries[hole] = std::move(moving);
}

// Moves entries[0] down the heap entries[0, count) to its place.
template <typename Entry, typename Before>
void sift_down(Entry* entries, std::size_t count, Before before)
{
    std::size_t hole = 0;
    for (std::size_t child = 1; child < count; child = 2 * hole + 1) {
        if (child + 1 < count && before(entries[child], entries[child + 1]))
            ++child;
        if (!before(entries[hole], entries[child]))
            return;
        std::swap(entries[hole], entries[child]);
        hole = child;
    }
}

// Sorts entries so that none is before the one ahead of it (a heap sort:
// in place, in O(n log n)); entries are never equal.
template <typename Entry, typename Before>
void sort_entries(std::vector<Entry>& entries, Before before)
{
    for (std::size_t i = 1; i < entries.size(); ++i)
        sift_up(entries.data(), i, before);
    for (std::size_t count = entries.size(); count > 1;) {
        std::swap(entries[0], entries[--count]);
        sift_down(entries.data(), count, before);
    }
}

// Appends added and moves it up to its place. Lower(a, b): a has a lower
// priority than b.
template <typename Entry, typename Lower>
void add_in_order(std::vector<Entry>& entries, const Entry& added, Lower lower, listing order = listing::heap)
{
    if (order == listing::sorted) {
        // After every entry of its priority or higher: the order of adding.
        std::size_t place = 0;
        while (place != entries.size() && !lower(entries[place], added))
            ++place;
        entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(place), added);
        return;
    }
    entries.push_back(added);
    sift_up(entries.data(), entries.size() - 1, lower);
}

// Whether entries, a heap of equal priorities in the order they were
// added, which is the heap that adding them again in that order builds.
template <typename Entry, typename Lower, typename Earlier>
bool as_added_alike(const std::vector<Entry>& entries, Lower lower, Earlier earlier)
{
    for (std::size_t i = 1; i < entries.size(); ++i) {
        const Entry& before = entries[i - 1];
        if (lower(before, entries[i]) || lower(entries[i], before) || earlier(entries[i], before))
            return false;
    }
    return true;
}

// Puts entries, whose priorities may have changed, in the heap that adding
// them again in the order they were first added builds. Earlier(a, b): a
// was added before b.
template <typename Entry, typename Lower, typename Earlier>
void restore_heap(std::vector<Entry>& entries, Lower lower, Earlier earlier)
{
    if (as_added_alike(entries, lower, earlier))
        return;
    sort_entries(entries, earlier);
    for (std::size_t i = 1; i < entries.size(); ++i)
        sift_up(entries.data(), i, lower);
}

// Puts entries[index], whose priority changed, in its place.
template <typename Entry, typename Lower, typename Earlier>
void reorder_changed(std::vector<Entry>& entries, std::size_t index, Lower lower, Earlier earlier, listing order)
{
    if (order == listing::heap)
        return restore_heap(entries, lower, earlier);
    // Sorted: before the first other entry of a lower priority, or of its
    // own added after it; in O(n), moving no other entry out of order.
    const Entry& changed = entries[index];
    const auto goes_before = [&](const Entry& e) {
        return &e != &changed && (lower(e, changed) || (!lower(changed, e) && earlier(changed, e)));
    };
    std::size_t place = 0;
    while (place != entries.size() && !goes_before(entries[place]))
        ++place;
    // Shifts the entries between by one, the changed one going along.
    for (std::size_t at = index; at + 1 < place; ++at)
        std::swap(entries[at], entries[at + 1]);
    for (std::size_t at = index; at > place; --at)
        std::swap(entries[at], entries[at - 1]);
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
