// The order a router offers values in, worked out step by step for the
// tests, apart from the library's own: each entry, in the order they were
// added, starts last and moves up while its parent's priority is strictly
// lower.
#ifndef VESSA_TESTS_HEAP_ORDER_HPP
#define VESSA_TESTS_HEAP_ORDER_HPP

#include <cstddef>
#include <utility>
#include <vector>

// priority(entry) gives the priority of an entry of as_added.
template <typename Entry, typename Priority>
std::vector<Entry> heap_order(const std::vector<Entry>& as_added, Priority priority)
{
    std::vector<Entry> order;
    for (const Entry& added : as_added) {
        std::size_t place = order.size();
        order.push_back(added);
        while (place > 0 && priority(order[(place - 1) / 2]) < priority(added)) {
            std::swap(order[place], order[(place - 1) / 2]);
            place = (place - 1) / 2;
        }
    }
    return order;
}

#endif
