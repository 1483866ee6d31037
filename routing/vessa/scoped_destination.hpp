// vessa: removal, and blocking, tied to a scope.
//
// A router's add_scoped_destination lists a destination and returns a
// scoped_destination, which removes it when it is destroyed or assigned
// another: a member of the object a destination calls into removes that
// destination when the object dies. block_scoped(id) blocks a destination
// and returns a scoped_block, which unblocks it in the same way.
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
// Either may outlive its router: the router's destructor disarms it, and it
// then does nothing. Destroying it in one thread while another destroys
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

// What a router gives its scoped blocks to unblock through, destroyed as
// scope_owner is.
class block_owner {
public:
    virtual void unblock_scoped(destination_id id) = 0;

protected:
    ~block_owner() = default;
};
} // namespace detail

// Ends a change it was given when it is destroyed or assigned another:
// End(id) on the router's owner, while the router lives.
template <typename Owner, void (Owner::*End)(destination_id)>
class [[nodiscard]] scoped_change {
public:
    // Ends nothing.
    scoped_change() = default;
    scoped_change(scoped_change&& other) noexcept;
    // Ends the change this one holds, then takes other's.
    scoped_change& operator=(scoped_change&& other) noexcept;
    ~scoped_change();

    // The destination it names; names nothing once released or moved.
    destination_id id() const { return named; }

    // Gives up ending the change, and returns its destination's id.
    destination_id release() noexcept;

private:
    template <typename>
    friend class concurrent_router;
    template <typename, typename>
    friend class router_front;
    scoped_change(std::weak_ptr<Owner> router_owner, destination_id id) : owner(std::move(router_owner)), named(id) {}

    void end() noexcept;

    std::weak_ptr<Owner> owner;
    destination_id named;
};

// Removes the destination add_scoped_destination listed.
using scoped_destination = scoped_change<detail::scope_owner, &detail::scope_owner::remove_scoped>;
// Unblocks, once, the destination block_scoped blocked; names nothing when
// that named nothing listed.
using scoped_block = scoped_change<detail::block_owner, &detail::block_owner::unblock_scoped>;

// ---------------------------------------------------------------------
// Mechanics.

template <typename Owner, void (Owner::*End)(destination_id)>
scoped_change<Owner, End>::scoped_change(scoped_change&& other) noexcept
    : owner(std::move(other.owner)), named(other.release())
{
}

template <typename Owner, void (Owner::*End)(destination_id)>
scoped_change<Owner, End>& scoped_change<Owner, End>::operator=(scoped_change&& other) noexcept
{
    if (this != &other) {
        end();
        owner = std::move(other.owner);
        named = other.release();
    }
    return *this;
}

template <typename Owner, void (Owner::*End)(destination_id)>
scoped_change<Owner, End>::~scoped_change()
{
    end();
}

template <typename Owner, void (Owner::*End)(destination_id)>
destination_id scoped_change<Owner, End>::release() noexcept
{
    owner.reset();
    return std::exchange(named, destination_id());
}

template <typename Owner, void (Owner::*End)(destination_id)>
void scoped_change<Owner, End>::end() noexcept
{
    if (const std::shared_ptr<Owner> router = owner.lock())
        ((*router).*End)(named);
}

} // namespace vessa

#endif
