// vessa: removal tied to a scope.
//
// A router's add_scoped_destination lists a destination and returns a
// scoped_destination, which removes it when it is destroyed or assigned
// another: a member of the object a destination calls into removes that
// destination when the object dies.
//
//     class listener {
//         vessa::scoped_destination subscription;
//     public:
//         explicit listener(vessa::router<int>& r)
//             : subscription(r.add_scoped_destination([this](const int& v) { return hear(v); }))
//         {
//         }
//         bool hear(const int&);
//     };
//
// It may outlive its router: the router's destructor disarms it, and it
// then removes nothing. Destroying it in one thread while another destroys
// the router is not allowed, as every use of a router being destroyed is
// not. Removal while routing allocates; should that fail in a destructor,
// the program terminates, as for any exception leaving one.
#ifndef VESSA_SCOPED_DESTINATION_HPP
#define VESSA_SCOPED_DESTINATION_HPP

#include <memory>
#include <utility>

#include <vessa/destination.hpp>

namespace vessa {

namespace detail {
// What a router gives its scoped destinations to remove through; the
// router's destructor destroys it, so that their weak_ptr expires.
class scope_owner {
public:
    virtual void remove_scoped(destination_id id) = 0;

protected:
    ~scope_owner() = default;
};
} // namespace detail

class scoped_destination {
public:
    // Removes nothing.
    scoped_destination() = default;
    scoped_destination(scoped_destination&& other) noexcept;
    // Removes the destination this one holds, then takes other's.
    scoped_destination& operator=(scoped_destination&& other) noexcept;
    ~scoped_destination();

    // The destination it removes; names nothing once released or moved.
    destination_id id() const { return listed; }

    // Gives up removing the destination, and returns its id.
    destination_id release() noexcept;

private:
    template <typename>
    friend class router;
    template <typename>
    friend class concurrent_router;
    scoped_destination(std::weak_ptr<detail::scope_owner> router_owner, destination_id id)
        : owner(std::move(router_owner)), listed(id)
    {
    }

    void remove() noexcept;

    std::weak_ptr<detail::scope_owner> owner;
    destination_id listed;
};

// ---------------------------------------------------------------------
// Mechanics.

inline scoped_destination::scoped_destination(scoped_destination&& other) noexcept
    : owner(std::move(other.owner)), listed(other.release())
{
}

inline scoped_destination& scoped_destination::operator=(scoped_destination&& other) noexcept
{
    if (this != &other) {
        remove();
        owner = std::move(other.owner);
        listed = other.release();
    }
    return *this;
}

inline scoped_destination::~scoped_destination() { remove(); }

inline destination_id scoped_destination::release() noexcept
{
    owner.reset();
    return std::exchange(listed, destination_id());
}

inline void scoped_destination::remove() noexcept
{
    if (const std::shared_ptr<detail::scope_owner> router = owner.lock())
        router->remove_scoped(listed);
}

} // namespace vessa

#endif
