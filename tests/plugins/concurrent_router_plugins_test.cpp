// Two plugins loaded as a plugin host loads them, each with its own hidden
// copy of vessa's code: routers and destination ids made by one keep their
// guarantees when used through the other.
#include <dlfcn.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../held_call.hpp"
#include "plugin.hpp"

namespace {

template <typename Function>
Function* exported(void* handle, const char* name)
{
    void* const symbol = dlsym(handle, name);
    if (!symbol)
        throw std::runtime_error(std::string("no ") + name + ": " + dlerror());
    return reinterpret_cast<Function*>(symbol);
}

// Never unloaded: the threads that routed through it keep records of it,
// whose release at each thread's exit runs the plugin's code.
struct plugin {
    explicit plugin(const char* path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL))
    {
        if (!handle)
            throw std::runtime_error(dlerror());
    }

    plugin_router* make_router() const
    {
        return exported<decltype(plugin_make_router)>(handle, "plugin_make_router")();
    }
    void destroy_router(plugin_router* r) const
    {
        exported<decltype(plugin_destroy_router)>(handle, "plugin_destroy_router")(r);
    }
    vessa::destination_id add_destination(plugin_router* r, plugin_take take, void* context) const
    {
        vessa::destination_id id;
        exported<decltype(plugin_add_destination)>(handle, "plugin_add_destination")(r, take, context, &id);
        return id;
    }
    void route(plugin_router* r, int value) const
    {
        exported<decltype(plugin_route)>(handle, "plugin_route")(r, value);
    }
    void synchronize(plugin_router* r) const
    {
        exported<decltype(plugin_synchronize)>(handle, "plugin_synchronize")(r);
    }
    std::uint64_t readers_waited_for() const
    {
        return exported<decltype(plugin_readers_waited_for)>(handle, "plugin_readers_waited_for")();
    }

    void* handle;
};

const plugin one(VESSA_PLUGIN_ONE);
const plugin two(VESSA_PLUGIN_TWO);

bool hold(int, void* call)
{
    static_cast<held_call*>(call)->hold();
    return true;
}

bool refuse(int, void*) { return false; }

// Each plugin's first router: the plugins number them alike. The call is
// made through the second plugin's code, on a thread that has routed
// through the second plugin's router.
TEST(concurrent_router_plugins, synchronize_waits_for_a_call_made_from_the_other_plugin)
{
    plugin_router* const of_one = one.make_router();
    plugin_router* const of_two = two.make_router();
    held_call call;
    one.add_destination(of_one, hold, &call);
    std::thread routing([&] {
        two.route(of_two, 0);
        two.route(of_one, 1);
    });
    // The wait is the first plugin's code, and so is what counts it.
    EXPECT_FALSE(returns_while_inside(
        call, [&] { one.synchronize(of_one); }, [] { return one.readers_waited_for(); }));
    routing.join();
    one.destroy_router(of_one);
    two.destroy_router(of_two);
}

TEST(concurrent_router_plugins, ids_from_the_two_plugins_never_collide)
{
    std::vector<vessa::destination_id> ids;
    for (const plugin* p : {&one, &two, &one}) {
        plugin_router* const r = p->make_router();
        for (int added = 0; added < 3; ++added)
            ids.push_back(p->add_destination(r, refuse, nullptr));
        p->destroy_router(r);
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        for (std::size_t j = i + 1; j < ids.size(); ++j)
            EXPECT_TRUE(ids[i] != ids[j]) << "ids " << i << " and " << j << " are the same";
    }
}

} // namespace
