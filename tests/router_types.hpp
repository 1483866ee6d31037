// The routers that typed tests run against, by readable names.
#ifndef VESSA_TESTS_ROUTER_TYPES_HPP
#define VESSA_TESTS_ROUTER_TYPES_HPP

#include <string>
#include <type_traits>

#include <gtest/gtest.h>
#include <vessa/concurrent_router.hpp>
#include <vessa/router.hpp>

using both_routers = testing::Types<vessa::router<int>, vessa::concurrent_router<int>>;

struct router_name {
    template <typename Router>
    static std::string GetName(int)
    {
        return std::is_same_v<Router, vessa::router<int>> ? "router" : "concurrent_router";
    }
};

#endif
