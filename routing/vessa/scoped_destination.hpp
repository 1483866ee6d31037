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

class [[nodiscard]] scoped_destination {
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
    template <typename, typename>
    friend class router_front;
    scoped_destination(std::weak_ptr<detail::scope_owner> router_owner, destination_id id)
        : owner(std::move(router_owner)), listed(id)
    {
    }

    void remove() noexcept;

    std::weak_ptr<detail::scope_owner> owner;
    destination_id listed;
};

class [[nodiscard]] scoped_block {
public:
    // Unblocks nothing.
    scoped_block() = default;
    scoped_block(scoped_block&& other) noexcept;
    // Unblocks the destination this one holds, then takes other's.
    scoped_block& operator=(scoped_block&& other) noexcept;
    ~scoped_block();

    // The destination it unblocks; names nothing once released or moved,
    // or when the block named nothing listed.
    destination_id id() const { return blocked; }

    // Gives up unblocking the destination, and returns its id.
    destination_id release() noexcept;

private:
    template <typename, typename>
    friend class router_front;
    scoped_block(std::weak_ptr<detail::block_owner> router_owner, destination_id id)
        : owner(std::move(router_owner)), blocked(id)
    {
    }

    void unblock() noexcept;

    std::weak_ptr<detail::block_owner> owner;
    destination_id blocked;
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

inline scoped_block::scoped_block(scoped_block&& other) noexcept
    : owner(std::move(other.owner)), blocked(other.release())
{
}

inline scoped_block& scoped_block::operator=(scoped_block&& other) noexcept
{
    if (this != &other) {
        unblock();
        owner = std::move(other.owner);
        blocked = other.release();
    }
    return *this;
}

inline scoped_block::~scoped_block() { unblock(); }

inline destination_id scoped_block::release() noexcept
{
    owner.reset();
    return std::exchange(blocked, destination_id());
}

inline void scoped_block::unblock() noexcept
{
    if (const std::shared_ptr<detail::block_owner> router = owner.lock())
        router->unblock_scoped(blocked);
}

} // namespace vessa

#endif
