// vessa: what a router made to report and go on calls with an exception.
//
// exception_handler holds any callable void(std::exception_ptr,
// destination_id): a lambda, a function pointer, a std::function. Made
// empty, or from an empty function pointer or std::function, it holds
// nothing and the router propagates. Calling it is const and touches
// nothing but the callable, so routing threads may call one handler at
// once, as far as the callable itself allows.
//
// It is a class of its own rather than a std::function so that a router
// does not include <functional>, the heaviest header a file that routes
// would otherwise compile.
#ifndef VESSA_EXCEPTION_HANDLER_HPP
#define VESSA_EXCEPTION_HANDLER_HPP

#include <exception>
#include <type_traits>
#include <utility>

#include <vessa/destination.hpp>

namespace vessa {

class exception_handler {
    template <typename F>
    using if_handler = std::enable_if_t<
        !std::is_same_v<
            std::decay_t<F>,
            exception_handler> && std::is_invocable_v<std::decay_t<F>&, std::exception_ptr, destination_id>>;

public:
    // Holds nothing.
    exception_handler() = default;
    // Holds a copy (or move) of report.
    template <typename F, typename = if_handler<F>>
    exception_handler(F&& report);

    exception_handler(const exception_handler& other);
    exception_handler(exception_handler&& other) noexcept;
    exception_handler& operator=(exception_handler other) noexcept;
    ~exception_handler();

    // Whether it holds a callable.
    explicit operator bool() const { return held != nullptr; }

    // Calls the callable it holds, which it must.
    void operator()(std::exception_ptr thrown, destination_id thrower) const;

private:
    // What is done with a held callable of one type: a table per type,
    // shared by every handler holding one.
    struct operations {
        void (*call)(void* held, std::exception_ptr thrown, destination_id thrower);
        void* (*copy)(const void* held);
        void (*destroy)(void* held) noexcept;
    };
    template <typename F>
    static const operations operations_for;

    const operations* ops = nullptr;
    void* held = nullptr;
};

// ---------------------------------------------------------------------
// Mechanics.

template <typename F>
const exception_handler::operations exception_handler::operations_for = {
    [](void* f, std::exception_ptr thrown, destination_id thrower) {
        (*static_cast<F*>(f))(std::move(thrown), thrower);
    },
    [](const void* f) -> void* { return new F(*static_cast<const F*>(f)); },
    [](void* f) noexcept { delete static_cast<F*>(f); },
};

template <typename F, typename>
exception_handler::exception_handler(F&& report)
{
    using held_type = std::decay_t<F>;
    static_assert(std::is_copy_constructible_v<held_type>,
                  "an exception_handler holds a copyable callable, as a std::function does");
    // Empty function pointers and std::functions hold nothing, as a
    // std::function made from them would.
    if constexpr (std::is_pointer_v<held_type> || std::is_constructible_v<bool, const held_type&>) {
        if (!static_cast<bool>(report))
            return;
    }
    held = new held_type(std::forward<F>(report));
    ops = &operations_for<held_type>;
}

inline exception_handler::exception_handler(const exception_handler& other)
    : ops(other.ops), held(other.held ? other.ops->copy(other.held) : nullptr)
{
}

inline exception_handler::exception_handler(exception_handler&& other) noexcept
    : ops(std::exchange(other.ops, nullptr)), held(std::exchange(other.held, nullptr))
{
}

inline exception_handler& exception_handler::operator=(exception_handler other) noexcept
{
    std::swap(ops, other.ops);
    std::swap(held, other.held);
    return *this;
}

inline exception_handler::~exception_handler()
{
    if (held)
        ops->destroy(held);
}

inline void exception_handler::operator()(std::exception_ptr thrown, destination_id thrower) const
{
    ops->call(held, std::move(thrown), thrower);
}

} // namespace vessa

#endif
