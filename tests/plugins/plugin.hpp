// What each test plugin exports: plain functions over a router made and
// used by the plugin's own copy of vessa's code.
#ifndef VESSA_TESTS_PLUGIN_HPP
#define VESSA_TESTS_PLUGIN_HPP

#include <cstdint>

#include <vessa/concurrent_router.hpp>

using plugin_router = vessa::concurrent_router<int>;
// What an added destination calls for each value it is offered.
using plugin_take = bool (*)(int value, void* context);

extern "C" {
__attribute__((visibility("default"))) plugin_router* plugin_make_router();
__attribute__((visibility("default"))) void plugin_destroy_router(plugin_router* router);
__attribute__((visibility("default"))) void
plugin_add_destination(plugin_router* router, plugin_take take, void* context, vessa::destination_id* id);
__attribute__((visibility("default"))) void plugin_route(plugin_router* router, int value);
__attribute__((visibility("default"))) void plugin_synchronize(plugin_router* router);
// How many times a waiter of the plugin's code has found a reader it must
// wait for: tests meet a wait by it.
__attribute__((visibility("default"))) std::uint64_t plugin_readers_waited_for();
}

#endif
