// vessa: destinations that end with the object they serve.
//
// tracking(weak, d) makes of d (a destination class, a take_if or any
// callable bool(const T&)) a destination that is called only while the
// object weak observes can be locked, and that holds the lock for the
// length of each call, so the object cannot die in the middle of one.
// Once the object is gone the destination refuses every value without
// being called, and a router drops it at its next change.
//
//     auto session = std::make_shared<chat_session>();
//     router.add_destination(vessa::tracking(std::weak_ptr<chat_session>(session),
//                                            [s = session.get()](const message& m) { return s->accept(m); }));
//
// Only tracked destinations pay for the lock: one weak_ptr lock per call,
// or per chunk in a batch.
#ifndef VESSA_TRACKING_HPP
#define VESSA_TRACKING_HPP

#include <memory>
#include <type_traits>
#include <utility>

#include <vessa/batch.hpp>
#include <vessa/destination.hpp>
#include <vessa/destination_copy.hpp>

namespace vessa {

// What tracking returns, for add_destination or set_default_destination.
template <typename U, typename D>
struct tracking_destination {
    std::weak_ptr<U> tracked;
    D wrapped;
};

template <typename U, typename D>
tracking_destination<U, std::decay_t<D>> tracking(std::weak_ptr<U> tracked, D&& d)
{
    return {std::move(tracked), std::forward<D>(d)};
}

// ---------------------------------------------------------------------
// Mechanics.

namespace detail {

// A copy that a router may drop at a change once expired() says so.
template <typename T>
class expiring : public destination<T> {
public:
    virtual bool expired() const noexcept = 0;
};

// Holds the copy that new_destination would make of the tracked
// destination, and calls it directly: no second virtual call.
template <typename T, typename U, typename Inner>
class tracked_copy final : public expiring<T> {
public:
    template <typename G>
    explicit tracked_copy(G&& given) : tracked(std::forward<G>(given).tracked), inner(std::forward<G>(given).wrapped)
    {
    }
    tracked_copy(const tracked_copy&) = delete;
    tracked_copy& operator=(const tracked_copy&) = delete;

    bool distribute(const T& value) override
    {
        const std::shared_ptr<U> held = tracked.lock();
        return held && inner.distribute(value);
    }
    void distribute_batch(batch<T>& chunk) override
    {
        if (const std::shared_ptr<U> held = tracked.lock())
            inner.distribute_batch(chunk);
    }
    bool expired() const noexcept override { return tracked.expired(); }

private:
    std::weak_ptr<U> tracked;
    Inner inner;
};

template <typename T, typename U, typename D>
struct copy_of<T, tracking_destination<U, D>> {
    using type = tracked_copy<T, U, typename copy_of<T, D>::type>;
};

template <typename D>
struct is_tracking : std::false_type {
};
template <typename U, typename D>
struct is_tracking<tracking_destination<U, D>> : std::true_type {
};

} // namespace detail
} // namespace vessa

#endif
