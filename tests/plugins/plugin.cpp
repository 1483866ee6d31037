// A test plugin: built twice, each time with its symbols hidden, so that
// each copy has vessa's code and its inline variables to itself.
#include "plugin.hpp"

plugin_router* plugin_make_router() { return new plugin_router; }

void plugin_destroy_router(plugin_router* router) { delete router; }

void plugin_add_destination(plugin_router* router, plugin_take take, void* context, vessa::destination_id* id)
{
    *id = router->add_destination([take, context](const int& value) { return take(value, context); });
}

void plugin_route(plugin_router* router, int value) { router->distribute(value); }

void plugin_synchronize(plugin_router* router) { router->synchronize(); }

std::uint64_t plugin_readers_waited_for() { return vessa::detail::read_domain::of_process().readers_waited_for.load(); }
