// vessa: route each value to the first destination that takes it.
//
// A router holds destinations ordered by priority plus an optional default.
// It offers a value to its destinations in turn, stops at the first that
// takes it, and hands the value to the default when none does.
//
//     struct even : vessa::destination<int> {
//         bool distribute(const int& v) override { return v % 2 == 0; }
//     };
//     vessa::router<int> r;
//     r.add_destination(even(), 1);
//     r.set_default_destination(odd_sink());
//     r.distribute(values.begin());              // one value
//     r.distribute(values.begin(), values.end()); // every value, in order
//
// Single-threaded: the handles count their owners with plain integers.
#ifndef VESSA_ROUTER_HPP
#define VESSA_ROUTER_HPP

#include <algorithm>
#include <vector>

namespace vessa {

// What users implement. distribute returns true when the destination takes
// the value and false when the value is to be offered elsewhere.
template <typename T>
class destination {
public:
    virtual ~destination() {}
    virtual bool distribute(const T& value) = 0;
};

template <typename T>
class router {
public:
    class destination_handle;

    router() = default;
    ~router();

    // A member-wise copy would release the default handle twice.
    router(const router&) = delete;
    router& operator=(const router&) = delete;

    // Copies d onto the heap and lists the copy. Destinations of higher
    // priority are offered values first; equal priorities keep the order
    // in which they were added only while nothing of another priority
    // moves them (the list is a binary heap, not a sorted list).
    template <typename D>
    void add_destination(const D& d, unsigned priority = 1);

    // Copies d onto the heap as the destination of values nobody takes,
    // replacing (and releasing) the previous default.
    template <typename D>
    void set_default_destination(const D& d);

    // Offers *it, by reference to that very element, to the listed
    // destinations in order, then to the default if none took it.
    template <typename Iter>
    void distribute(Iter it);

    // Routes every element of [first, last) in order, each exactly as
    // distribute(it) would. The list and the default are read once for the
    // whole range, so destinations must not change the router meanwhile.
    template <typename InputIt>
    void distribute(InputIt first, InputIt last);

    // Shares one heap-allocated destination among copies, deleting it with
    // the last of them. Lets the router's vector copy and reorder its
    // entries without ever copying a destination.
    class destination_handle {
    public:
        // Takes ownership of owned_target, which must come from new;
        // deletes it if the count cell cannot be allocated.
        destination_handle(destination<T>* owned_target, unsigned target_priority);
        destination_handle(const destination_handle& other) noexcept;
        destination_handle& operator=(const destination_handle& other) noexcept;
        ~destination_handle();

        // Heap order: lower priority compares less, as unsigned integers.
        bool operator<(const destination_handle& other) const;

    private:
        friend class router;
        void destroy();

        destination<T>* target;
        int* ref_count;
        unsigned priority;
    };

private:
    // Offers value to [current, end), then to fallback if none took it.
    static void offer(const T& value, const destination_handle* current, const destination_handle* end,
                      destination_handle* fallback);

    std::vector<destination_handle> destinations;
    destination_handle* default_destination = nullptr;
};

template <typename T>
router<T>::~router()
{
    delete default_destination;
}

template <typename T>
template <typename D>
void router<T>::add_destination(const D& d, unsigned priority)
{
    // Should push_back throw, the temporary releases the copy and the
    // vector is left as it was.
    const destination_handle added(new D(d), priority);
    destinations.push_back(added);
    std::push_heap(destinations.begin(), destinations.end());
}

template <typename T>
template <typename D>
void router<T>::set_default_destination(const D& d)
{
    // The new handle is complete before the old one goes, so a failed
    // allocation keeps the previous default. The handle's storage is
    // allocated before new D(d) runs and is freed again if that throws.
    destination_handle* const replacement = new destination_handle(new D(d), 1);
    delete default_destination;
    default_destination = replacement;
}

template <typename T>
template <typename Iter>
void router<T>::distribute(Iter it)
{
    // Held in locals: a virtual call could otherwise have changed the
    // members, and the compiler would reload them after every call.
    const destination_handle* const begin = destinations.data();
    offer(*it, begin, begin + destinations.size(), default_destination);
}

template <typename T>
template <typename InputIt>
void router<T>::distribute(InputIt first, InputIt last)
{
    const destination_handle* const begin = destinations.data();
    const destination_handle* const end = begin + destinations.size();
    destination_handle* const fallback = default_destination;
    for (; first != last; ++first)
        offer(*first, begin, end, fallback);
}

template <typename T>
void router<T>::offer(const T& value, const destination_handle* current, const destination_handle* const end,
                      destination_handle* const fallback)
{
    for (; current != end; ++current) {
        if (current->target->distribute(value))
            return;
    }
    if (fallback)
        fallback->target->distribute(value);
}

template <typename T>
router<T>::destination_handle::destination_handle(destination<T>* owned_target, unsigned target_priority)
    : target(owned_target), ref_count(nullptr), priority(target_priority)
{
    try {
        ref_count = new int(1);
    } catch (...) {
        delete owned_target;
        throw;
    }
}

template <typename T>
router<T>::destination_handle::destination_handle(const destination_handle& other) noexcept
    : target(other.target), ref_count(other.ref_count), priority(other.priority)
{
    ++*ref_count;
}

template <typename T>
typename router<T>::destination_handle&
router<T>::destination_handle::operator=(const destination_handle& other) noexcept
{
    // Counting the new owner before releasing the old one keeps
    // self-assignment, and assignment between sharers, from freeing.
    ++*other.ref_count;
    destroy();
    target = other.target;
    ref_count = other.ref_count;
    priority = other.priority;
    return *this;
}

template <typename T>
router<T>::destination_handle::~destination_handle()
{
    destroy();
}

template <typename T>
bool router<T>::destination_handle::operator<(const destination_handle& other) const
{
    return priority < other.priority;
}

// GCC 12 warns, wrongly, that a count cell may be used after it is freed
// when destroy() is inlined into push_heap: it follows a path on which
// the count reaches zero while another handle still shares the cell, which
// the counting rules rule out. The warning is off for this function alone.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif

// Leaves the fields as they were: callers either overwrite them or are
// about to end the handle's life.
template <typename T>
void router<T>::destination_handle::destroy()
{
    if (--*ref_count != 0)
        return;
    delete ref_count;
    delete target;
}

#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

} // namespace vessa

#endif
